// The part of a home-automation host's plug-in interface that the connector uses: INI
// settings by group and key in files of the Config folder, a device store keyed by device
// code, the host's folder paths, a tab-separated log and a field picker.
#pragma once

#include "core/reporting.h"
#include "platform/platform.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>

namespace quorvel::host {

// One device of the store. Every field is read and written through a member of its name.
class Device {
public:
    using Time = std::chrono::system_clock::time_point;  // the epoch stands for "no date"

    const std::string& Location() const { return location_; }
    void Location(std::string v) { location_ = std::move(v); }
    const std::string& Dev_type_string() const { return devTypeString_; }
    void Dev_type_string(std::string v) { devTypeString_ = std::move(v); }
    const std::string& HC() const { return hc_; }
    void HC(std::string v) { hc_ = std::move(v); }
    const std::string& DC() const { return dc_; }
    void DC(std::string v) { dc_ = std::move(v); }
    const std::string& Interface() const { return interface_; }
    void Interface(std::string v) { interface_ = std::move(v); }
    std::int32_t Misc() const { return misc_; }
    void Misc(std::int32_t v) { misc_ = v; }
    std::int16_t IoType() const { return ioType_; }
    void IoType(std::int16_t v) { ioType_ = v; }
    std::int16_t DeviceStatus() const { return status_; }  // 2 on, 3 off
    void DeviceStatus(std::int16_t v) { status_ = v; }
    std::int32_t DeviceValue() const { return value_; }
    void DeviceValue(std::int32_t v) { value_ = v; }
    const std::string& DeviceString() const { return string_; }
    void DeviceString(std::string v) { string_ = std::move(v); }
    Time DeviceLastChange() const { return lastChange_; }
    void DeviceLastChange(Time v) { lastChange_ = v; }
    std::int32_t index() const { return index_; }
    void index(std::int32_t v) { index_ = v; }
    std::int32_t ref() const { return index_; }
    const std::string& Name() const { return name_; }
    void Name(std::string v) { name_ = std::move(v); }
    // Accepted and not kept: the record has no field for it.
    void DeviceCode(const std::string&) {}

private:
    std::string location_, devTypeString_, hc_, dc_, interface_;
    std::int32_t misc_ = 0;
    std::int16_t ioType_ = 0;
    std::int16_t status_ = 0;
    std::int32_t value_ = 0;
    std::string string_;
    Time lastChange_{};
    std::int32_t index_ = 0;
    std::string name_;
};

class IniTool;

class Homeseer {
public:
    // appFolder is fixed at creation: later changes of the application folder do not move
    // the files this object uses.
    Homeseer(core::Reporter& reporter, const platform::Clock& clock, std::filesystem::path appFolder);
    Homeseer(const Homeseer&) = delete;
    Homeseer& operator=(const Homeseer&) = delete;

    // INI settings in appFolder/Config/File. Every call reads the file afresh; a missing
    // file is created empty (not in read-only mode). Failures of the INI engine pass to the
    // caller. Lines of a file that cannot be read are reported once, not on every read:
    // again only when the file's problems change, or after ForgetReportedProblems.
    std::string GetIniSetting(const std::string& Group, const std::string& Key, const std::string& Default,
                              const std::string& File);
    void SaveIniSetting(const std::string& Group, const std::string& Key, const std::string& Value,
                        const std::string& File);
    // Read-only: a missing settings file reads as empty and is not made.
    void SetReadOnly(bool on) { readOnly_ = on; }
    void ForgetReportedProblems() { reportedProblems_.clear(); }
    // key=value pairs of the section separated by the character 0; "=" for a missing section.
    std::string GetINISection(const std::string& Group, const std::string& File);

    std::string GetAppPath() const { return appPath_.string(); }
    std::string GetHSPath() const { return hsPath_.string(); }
    std::string GetDBPath() const { return dbPath_.string(); }
    const std::filesystem::path& LogPath() const { return logPath_; }

    // Device store, keyed by the device code exactly as given (case-sensitive).
    std::int32_t DeviceExists(const std::string& sDevice) const;  // 1 or -1
    // Adds an empty record; throws (store unchanged) when the code is already present.
    std::int32_t NewDevice(const std::string& sDevice);
    void SetDeviceValue(const std::string& sDevice, std::int32_t iValue);
    std::int32_t DeviceValue(const std::string& sDevice) const;
    void SetDeviceString(const std::string& sDevice, const std::string& sString);
    std::string DeviceString(const std::string& sDevice) const;
    void SetDeviceStatus(const std::string& sDevice, std::int16_t iStatus);
    std::int16_t DeviceStatus(const std::string& sDevice) const;
    void SetDeviceLastChange(const std::string& sDevice, Device::Time dDate);
    Device::Time DeviceLastChange(const std::string& sDevice) const;
    bool isOn(const std::string& sDevice) const;
    bool isOff(const std::string& sDevice) const;
    // The record itself, or nullptr when the code is not in the store.
    Device* GetDevice(const std::string& sDevice);
    std::size_t DeviceCount() const { return devices_.size(); }

    // Field iPosition (from 1) of sString split at every sDelimiter; empty when there are
    // fewer fields.
    static std::string StringItem(const std::string& sString, int iPosition, const std::string& sDelimiter);
    // Appends "date TAB Col1 TAB col2" to the log file; throws when the log file is missing.
    void Writelog(const std::string& Col1, const std::string& col2);

private:
    friend class HomeseerProbe;  // unit tests reach LoadDevices
    // Enters a device for every name of [Database] in zebTemperature.ini.
    void LoadDevices();
    std::string IniPath(const std::string& File) const;
    // Loads a settings file with the read-only choice and the once-only problem reports.
    void LoadSettingsFile(IniTool& ini, const std::string& File);
    const Device* Find(const std::string& sDevice) const;

    core::Reporter& reporter_;
    const platform::Clock& clock_;
    std::filesystem::path hsPath_, dbPath_, appPath_, logPath_;
    std::list<std::pair<std::string, Device>> devices_;  // insertion order
    std::unordered_map<std::string, Device*> deviceIndex_;
    bool readOnly_ = false;
    std::unordered_map<std::string, std::string> reportedProblems_;  // path -> texts reported
};

}  // namespace quorvel::host
