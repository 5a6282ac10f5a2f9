#include "host/homeseer.h"

#include "core/settings.h"
#include "host/fast_string.h"
#include "host/ini_tool.h"

#include <fstream>
#include <stdexcept>
#include <system_error>

namespace quorvel::host {

namespace fs = std::filesystem;

Homeseer::Homeseer(core::Reporter& reporter, const platform::Clock& clock, fs::path appFolder)
    : reporter_(reporter),
      clock_(clock),
      hsPath_(appFolder),
      dbPath_(appFolder),
      appPath_(appFolder),
      logPath_(appFolder / "Data" / (std::string(core::kAppName) + ".txt")) {}

std::string Homeseer::IniPath(const std::string& File) const { return (hsPath_ / "Config" / File).string(); }

void Homeseer::LoadSettingsFile(IniTool& ini, const std::string& File) {
    ini.SetCreateMissing(!readOnly_);
    ini.SetProblemSink([this](const std::string& path, const std::vector<std::string>& texts) {
        std::string all;
        for (const std::string& t : texts) all += t + "\n";
        std::string& reported = reportedProblems_[path];
        if (reported == all) return;
        reported = std::move(all);
        for (const std::string& t : texts) reporter_.ReportEvent("IniTool", t);
    });
    ini.Load(IniPath(File));
}

std::string Homeseer::GetIniSetting(const std::string& Group, const std::string& Key, const std::string& Default,
                                    const std::string& File) {
    IniTool ini(reporter_, clock_);
    LoadSettingsFile(ini, File);
    return ini.Read(Group, Key, Default);
}

void Homeseer::SaveIniSetting(const std::string& Group, const std::string& Key, const std::string& Value,
                              const std::string& File) {
    IniTool ini(reporter_, clock_);
    LoadSettingsFile(ini, File);
    ini.WriteKey(Group, Key, Value);
    ini.Save();
}

std::string Homeseer::GetINISection(const std::string& Group, const std::string& File) {
    IniTool ini(reporter_, clock_);
    LoadSettingsFile(ini, File);
    FastString builder;
    for (const std::string& key : ini.Keys(Group)) {
        builder.Add(std::string_view("\0", 1));
        builder.Add(key);
        builder.Add("=");
        builder.Add(ini.Read(Group, key, ""));
    }
    return builder.Value().substr(1);
}

const Device* Homeseer::Find(const std::string& sDevice) const {
    const auto it = deviceIndex_.find(sDevice);
    return it == deviceIndex_.end() ? nullptr : it->second;
}

Device* Homeseer::GetDevice(const std::string& sDevice) { return const_cast<Device*>(Find(sDevice)); }

std::int32_t Homeseer::DeviceExists(const std::string& sDevice) const { return Find(sDevice) ? 1 : -1; }

std::int32_t Homeseer::NewDevice(const std::string& sDevice) {
    if (Find(sDevice) != nullptr) throw std::runtime_error("device " + sDevice + " already exists");
    devices_.emplace_back(sDevice, Device{});
    deviceIndex_.emplace(sDevice, &devices_.back().second);
    return 0;
}

void Homeseer::SetDeviceValue(const std::string& sDevice, std::int32_t iValue) {
    if (Device* d = GetDevice(sDevice)) d->DeviceValue(iValue);
}
std::int32_t Homeseer::DeviceValue(const std::string& sDevice) const {
    const Device* d = Find(sDevice);
    return d ? d->DeviceValue() : 0;
}
void Homeseer::SetDeviceString(const std::string& sDevice, const std::string& sString) {
    if (Device* d = GetDevice(sDevice)) d->DeviceString(sString);
}
std::string Homeseer::DeviceString(const std::string& sDevice) const {
    const Device* d = Find(sDevice);
    return d ? d->DeviceString() : std::string();
}
void Homeseer::SetDeviceStatus(const std::string& sDevice, std::int16_t iStatus) {
    if (Device* d = GetDevice(sDevice)) d->DeviceStatus(iStatus);
}
std::int16_t Homeseer::DeviceStatus(const std::string& sDevice) const {
    const Device* d = Find(sDevice);
    return d ? d->DeviceStatus() : std::int16_t{0};
}
void Homeseer::SetDeviceLastChange(const std::string& sDevice, Device::Time dDate) {
    if (Device* d = GetDevice(sDevice)) d->DeviceLastChange(dDate);
}
Device::Time Homeseer::DeviceLastChange(const std::string& sDevice) const {
    const Device* d = Find(sDevice);
    return d ? d->DeviceLastChange() : Device::Time{};
}
bool Homeseer::isOn(const std::string& sDevice) const { return DeviceStatus(sDevice) == 2; }
bool Homeseer::isOff(const std::string& sDevice) const { return DeviceStatus(sDevice) == 3; }

std::string Homeseer::StringItem(const std::string& sString, int iPosition, const std::string& sDelimiter) {
    if (iPosition < 1) return {};
    if (sDelimiter.empty()) return iPosition == 1 ? sString : std::string();
    std::size_t start = 0;
    for (int field = 1;; ++field) {
        const std::size_t end = sString.find(sDelimiter, start);
        if (field == iPosition) return sString.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (end == std::string::npos) return {};
        start = end + sDelimiter.size();
    }
}

void Homeseer::Writelog(const std::string& Col1, const std::string& col2) {
    std::error_code ec;
    if (!fs::exists(logPath_, ec)) throw std::runtime_error("log file missing: " + logPath_.string());
    std::ofstream out(logPath_, std::ios::binary | std::ios::app);
    if (!out) throw std::runtime_error("cannot open " + logPath_.string());
    out << clock_.LocalDateTime() << '\t' << Col1 << '\t' << col2 << "\r\n";
    if (!out) throw std::runtime_error("cannot write " + logPath_.string());
}

void Homeseer::LoadDevices() {
    IniTool ini(reporter_, clock_);
    ini.Load(IniPath("zebTemperature.ini"));
    for (std::string name : ini.Keys("Database")) {
        for (std::size_t p = name.find("/["); p != std::string::npos; p = name.find("/[", p)) name.erase(p, 1);
        if (name.empty()) continue;
        const std::string code = core::Upper(name);
        if (Find(code) == nullptr) NewDevice(code);  // two names may become one code
    }
}

}  // namespace quorvel::host
