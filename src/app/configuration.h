// Where the connector lives on disk, who it is on the xAP network and how the CM11A is
// reached: the start-up steps InitXap and InitHW, the [General] settings and the shared
// Homeseer object through which every setting is read.
#pragma once

#include "app/core_names.h"
#include "host/homeseer.h"
#include "platform/platform.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quorvel::app {

inline constexpr const char* kMainIni = "Quorvel.ini";
inline constexpr const char* kXapIni = "zebXap.ini";
inline constexpr const char* kXapSourcePrefix = "zeb.CM11A";

// The pieces of text between commas ("a,,b" gives "a", "", "b").
std::vector<std::string> SplitCommas(const std::string& text);

// "1" or "true" (any case, double quotes removed) is true; everything else false.
bool ParseBoolSetting(const std::string& text);

class Configuration {
public:
    using InitCM11AHook = std::function<bool(const std::string& port)>;

    // exePath and appFolder come from the command line; hostName is the system's query.
    Configuration(Settings& settings, Reporter& reporter, const platform::Clock& clock,
                  std::filesystem::path appFolder, std::string exePath,
                  std::function<std::string()> hostName = {});
    ~Configuration();
    Configuration(const Configuration&) = delete;
    Configuration& operator=(const Configuration&) = delete;

    // Start-up step 2: folders, the log file's place, Homeseer, UID, xAP addresses.
    void InitXap();
    // Start-up step 9: settings table, [General] settings, CM11A start. Returns "".
    std::string InitHW();
    // Reads ComPort, House, Ignore, Debug and the [Devices] kinds (again after the setup
    // window closes).
    void InitIniKeys();
    void ReadDevices();
    void SetIniValue(const std::string& key, const std::string& defaultValue);
    // CM11AReady = the InitCM11A hook's answer; false while no CM11A subsystem is joined.
    void InitApplication();
    // Host name up to its first "."; "localhost" when there is none. Asked once.
    std::string LocalComputerName();
    void CreateFolders(const std::string& path) { core::CreateFolders(path, reporter_); }

    // The shared host object; created again when used after Release.
    host::Homeseer& Homeseer();
    void ReleaseHomeseer() { homeseer_.reset(); }
    bool HomeseerLoaded() const { return homeseer_ != nullptr; }

    // The CM11A start-up, and who is told when ComPort changes after it, joined when that
    // subsystem is present.
    void SetPortChanged(std::function<void()> hook) { portChanged_ = std::move(hook); }
    void SetInitCM11A(InitCM11AHook hook) { initCM11A_ = std::move(hook); }
    bool CM11AReady() const { return cm11aReady_; }
    // The CM11A start-up has run (whatever the link's state then).
    bool CM11AStarted() const { return cm11aStarted_; }

    const std::vector<std::string>& IniKeys() const { return iniKeys_; }
    const std::vector<std::string>& IniDefaults() const { return iniDefaults_; }

private:
    Settings& settings_;
    Reporter& reporter_;
    const platform::Clock& clock_;
    std::filesystem::path startFolder_;
    std::string startExePath_;
    std::function<std::string()> hostName_;
    std::string computerName_;
    bool computerNameKnown_ = false;
    std::unique_ptr<host::Homeseer> homeseer_;
    std::function<void()> portChanged_;
    InitCM11AHook initCM11A_;
    bool cm11aReady_ = false;
    bool cm11aStarted_ = false;
    std::vector<std::string> iniKeys_;
    std::vector<std::string> iniDefaults_;
};

}  // namespace quorvel::app
