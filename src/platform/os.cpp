#include "platform/os.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace quorvel::platform {

namespace {

// "process 1234 (quorvel)", or "process 1234" when its name cannot be read.
std::string DescribeProcess(pid_t pid) {
    std::string text = "process " + std::to_string(pid);
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (comm && std::getline(comm, name) && !name.empty()) text += " (" + name + ")";
    return text;
}

}  // namespace

std::string HostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

std::unique_ptr<InstanceLock> InstanceLock::Acquire(const std::string& lockFile, const std::string& fallbackFolder,
                                                    std::string& problem) {
    const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        if (::fcntl(fd, F_SETLK, &fl) == 0) {
            const std::string pid = std::to_string(::getpid()) + "\n";
            if (::ftruncate(fd, 0) == 0) {
                [[maybe_unused]] const auto n = ::pwrite(fd, pid.data(), pid.size(), 0);
            }
            return std::unique_ptr<InstanceLock>(new InstanceLock(fd, lockFile));
        }
        const int err = errno;
        struct flock holder {};
        holder.l_type = F_WRLCK;
        holder.l_whence = SEEK_SET;
        const bool known = ::fcntl(fd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK && holder.l_pid > 0;
        ::close(fd);
        if (err == EACCES || err == EAGAIN) {
            problem = "held by " + (known ? DescribeProcess(holder.l_pid) : std::string("another process")) +
                      " (lock file " + lockFile + ")";
        } else {
            problem = "cannot lock " + lockFile + ": " + std::strerror(err);
        }
        return nullptr;
    }
    const int openErr = errno;
    // A read-only folder: lock the folder itself (whoever holds it cannot be named then).
    const int dirFd = ::open(fallbackFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        problem = "cannot create " + lockFile + ": " + std::strerror(openErr);
        return nullptr;
    }
    if (::flock(dirFd, LOCK_EX | LOCK_NB) == 0) return std::unique_ptr<InstanceLock>(new InstanceLock(dirFd, fallbackFolder));
    const int err = errno;
    ::close(dirFd);
    problem = err == EWOULDBLOCK ? "held by another process (lock on " + fallbackFolder + ")"
                                 : "cannot lock " + fallbackFolder + ": " + std::strerror(err);
    return nullptr;
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace quorvel::platform
