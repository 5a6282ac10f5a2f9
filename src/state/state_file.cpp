#include "state/state_file.h"

#include "host/ini_tool.h"

#include <fstream>
#include <sstream>
#include <system_error>

namespace quorvel::state {

namespace fs = std::filesystem;

namespace {

// The whole file, or nothing when it does not exist. Throws when it cannot be read.
std::optional<std::string> ReadWhole(const fs::path& file) {
    std::error_code ec;
    if (!fs::exists(file, ec)) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + file.string());
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

constexpr std::uintmax_t kMaxFileSize = 64 * 1024;  // 256 lines of at most ~80 bytes

}  // namespace

StateFile::StateFile(platform::Platform& platform, core::Reporter& reporter, DeviceStates& states)
    : reporter_(reporter), states_(states), timer_(platform.CreateTimer()) {
    timer_->SetHandler([this] {
        timer_->SetEnabled(false);
        Save();
    });
}

StateFile::~StateFile() { timer_->SetEnabled(false); }

void StateFile::Load(const fs::path& dataFolder) {
    path_ = dataFolder / kStateFileName;
    states_.Clear();
    try {
        std::error_code ec;
        if (fs::exists(path_, ec) && fs::file_size(path_, ec) > kMaxFileSize) {
            throw std::runtime_error("larger than " + std::to_string(kMaxFileSize) + " bytes");
        }
        const auto text = ReadWhole(path_);
        if (!text) return;
        if (const auto damage = states_.Parse(*text)) throw std::runtime_error(*damage);
    } catch (const std::exception& e) {
        states_.Clear();
        fs::path aside = path_;
        aside += "_bad";
        std::error_code ec;
        fs::rename(path_, aside, ec);
        reporter_.ReportEvent(core::kAppName, "Device state file " + path_.string() + " damaged (" + e.what() +
                                                  "), ignored" + (ec ? std::string() : "; kept as " + aside.string()));
    }
}

void StateFile::Changed() {
    dirty_ = true;
    if (!timer_->Enabled()) timer_->Arm(kSaveDelayMs);
}

void StateFile::Flush() {
    timer_->SetEnabled(false);
    if (dirty_) Save();
}

void StateFile::Save() {
    if (path_.empty()) return;
    try {
        host::ReplaceFileContents(path_, states_.Serialize());
        dirty_ = false;
        failureReported_ = false;
    } catch (const std::exception& e) {
        // Reported once until a save works again; the next change tries again.
        if (!failureReported_) {
            failureReported_ = true;
            reporter_.ReportEvent(core::kAppName, std::string("Device state not saved: ") + e.what());
        }
    }
}

std::optional<std::string> StatusTableFromFile(const fs::path& file, std::string& error) {
    DeviceStates states;
    try {
        std::error_code ec;
        if (fs::exists(file, ec) && fs::file_size(file, ec) > kMaxFileSize) {
            error = file.string() + ": larger than " + std::to_string(kMaxFileSize) + " bytes";
            return std::nullopt;
        }
        const auto text = ReadWhole(file);
        if (text) {
            if (const auto damage = states.Parse(*text, false)) {
                error = file.string() + " is damaged (" + *damage + ")";
                return std::nullopt;
            }
        }
    } catch (const std::exception& e) {
        error = e.what();
        return std::nullopt;
    }
    return states.Table();
}

void SaveInterfaceStatus(const fs::path& dataFolder, const std::string& text, core::Reporter& reporter) {
    try {
        host::ReplaceFileContents(dataFolder / kInterfaceStatusFileName, text);
    } catch (const std::exception& e) {
        reporter.DebugLog(std::string("Interface status not saved: ") + e.what());
    }
}

std::optional<std::string> ReadInterfaceStatus(const fs::path& dataFolder) {
    const fs::path file = dataFolder / kInterfaceStatusFileName;
    std::error_code ec;
    if (fs::exists(file, ec) && fs::file_size(file, ec) > kMaxFileSize) return std::nullopt;
    try {
        return ReadWhole(file);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace quorvel::state
