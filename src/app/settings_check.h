// The settings as the connector will use them, shown on one line and checked for values
// that cannot be what the user meant. The start-up, the reload on SIGHUP and
// `quorvel --check-config` all use these.
#pragma once

#include "app/core_names.h"
#include "host/homeseer.h"

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::app {

// The Ignore setting as stored ("A1, B2") to its held form (",A1,B2,"): blanks around each
// entry are dropped, so that " A2 " ignores A2.
std::string HeldIgnore(const std::string& stored);

// Every setting of both files, read without opening anything.
struct SettingsSnapshot {
    Settings Values;          // as the connector uses them (Ignore in its held form)
    std::string StoredIgnore;  // Ignore as written in the file
    std::string StoredDebug;   // Debug as written (empty when missing)
    bool ComPortIsDefault = false;  // ComPort missing or empty: "1" is used
};
SettingsSnapshot ReadSettings(host::Homeseer& homeseer);

// What a ComPort text means: "serial port /dev/ttyS0", "TCP serial server host:4001", or
// why it means nothing.
std::string ComPortMeaning(const std::string& comPort);

// Every setting as "Name=value", with what ComPort means, where the xAP node sends and the
// local address it takes among hostAddresses (as the node chooses; "none" when empty).
std::vector<std::string> SettingsFields(const Settings& s, const std::vector<std::string>& hostAddresses);

// One line: version, application folder and every setting in effect.
std::string SettingsLine(const Settings& s, const std::vector<std::string>& hostAddresses);

// One text per setting that cannot be what the user meant. deviceExists answers whether a
// serial device path is present on this machine.
std::vector<std::string> CheckSettings(const SettingsSnapshot& snapshot,
                                       const std::function<bool(const std::string&)>& deviceExists);

// The [Devices] section: its kinds in one line ("A1 light, B1 motion" or "none") in described,
// and one text per entry that cannot be used or names a device that is not served.
std::vector<std::string> CheckDevices(host::Homeseer& homeseer, const Settings& served, std::string& described);

// True when path names an existing file or device.
bool PathExists(const std::string& path);

}  // namespace quorvel::app

namespace quorvel::platform {
class Clock;
}

namespace quorvel::app {

// The problems with the names in a settings file as written (fileName: Quorvel.ini or
// zebXap.ini; text: its contents): sections and keys the connector does not read, each with
// the closest name it knows (or the names it knows), and blanks around "=". applied gives
// the value in effect for a key ("House=ABCDEFGHIJKLMNOP"), empty when it has none to show.
std::vector<std::string> CheckNames(const std::string& fileName, const std::string& text,
                                    const std::function<std::string(const std::string& key)>& applied);

// The known name closest to name (case-insensitive, a few letters off at most), or empty.
std::string ClosestName(const std::string& name, const std::vector<std::string>& known);

// Who may open a serial device, as a file's owner, group and mode bits decide it.
struct DeviceAccess {
    unsigned Mode = 0;  // permission bits (0660)
    unsigned Uid = 0, Gid = 0;
    std::string Owner, Group;  // names, for the text
};
struct ServiceUser {
    std::string Name;
    unsigned Uid = 0;
    std::vector<unsigned> Gids;
};
// Why user cannot open the device for reading and writing; empty when it can.
std::string DeviceAccessProblem(const std::string& device, const DeviceAccess& access, const ServiceUser& user);

}  // namespace quorvel::app

namespace quorvel::app {

// `quorvel --check-config`: prints the settings of appFolder as the connector would use
// them and every problem found, to out. Creates, opens and changes nothing (no socket, no
// serial port, no file written). Returns 0 when no problem was found, 1 otherwise.
int RunCheckConfig(const std::filesystem::path& appFolder, const platform::Clock& clock,
                   const std::vector<std::string>& hostAddresses, std::FILE* out);

}  // namespace quorvel::app

namespace quorvel::app {

// The checks of CheckDevices on a [Devices] section as the INI engine gives it ("key=value"
// entries separated by NUL bytes), against the devices that House and Ignore serve; the
// kinds in one line in described when given.
std::vector<std::string> CheckDevicesSection(std::string_view section, const Settings& served,
                                             std::string* described = nullptr);

}  // namespace quorvel::app
