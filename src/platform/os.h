// Small operating-system queries that need no event loop.
#pragma once

#include <memory>
#include <string>

namespace quorvel::platform {

// The machine's host name as the system reports it (may contain dots); empty when none.
std::string HostName();

// One running connector per application folder: an exclusive lock on a file (its process
// number written in it for people to read), released when the object is destroyed or the
// process ends, however it ends.
class InstanceLock {
public:
    // Takes the lock on lockFile (created when missing). When the file cannot be made (a
    // read-only folder) the lock is taken on fallbackFolder itself. Null when the lock is
    // held elsewhere or cannot be taken; problem then says so, naming the holder when known.
    static std::unique_ptr<InstanceLock> Acquire(const std::string& lockFile, const std::string& fallbackFolder,
                                                 std::string& problem);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    const std::string& Path() const { return path_; }

private:
    InstanceLock(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    int fd_ = -1;
    std::string path_;
};

}  // namespace quorvel::platform
