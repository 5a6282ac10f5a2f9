// The connector reads requests, settings and numbers the same whatever the system locale:
// Qt sets the process's C locale from LANG, and a Turkish one folds "i" to a dotted capital
// while a German one reads "2.6" as 2.
#include "app/request_handler.h"
#include "cm11a/codes.h"
#include "host/ini_tool.h"
#include "platform/sim/sim_platform.h"
#include "test_support/recording_node.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

namespace {

// Switches the process to a system locale for one scope (back to "C" after it), generating
// it with localedef into a private folder when the system does not have it.
class LocaleScope {
public:
    explicit LocaleScope(const std::string& name) {
        if (std::setlocale(LC_ALL, name.c_str()) != nullptr) return;
        const auto folder = std::filesystem::temp_directory_path() / ("quorvel-test-locales-" + std::to_string(::getuid()));
        if (!std::filesystem::exists(folder / name)) {
            std::filesystem::create_directories(folder);
            const std::string cmd = "localedef -i " + name.substr(0, name.find('.')) + " -f UTF-8 " +
                                    (folder / name).string() + " >/dev/null 2>&1";
            if (std::system(cmd.c_str()) != 0 && !std::filesystem::exists(folder / name)) {
                why_ = "localedef missing or failed";
                return;
            }
        }
        ::setenv("LOCPATH", folder.c_str(), 1);
        if (std::setlocale(LC_ALL, name.c_str()) == nullptr) why_ = "not accepted by the C library";
    }
    ~LocaleScope() {
        std::setlocale(LC_ALL, "C");
        ::unsetenv("LOCPATH");
    }
    LocaleScope(const LocaleScope&) = delete;
    LocaleScope& operator=(const LocaleScope&) = delete;
    bool Active() const { return why_.empty(); }
    const std::string& Why() const { return why_; }

private:
    std::string why_;
};

std::string Request(const std::string& cls, const std::string& block, const std::string& items) {
    return "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=" + cls +
           "\nsource=acme.host.box\ntarget=ZEB.CM11A.MYBOX\n}\n" + block + "\n{\n" + items + "}\n";
}

}  // namespace

TEST(SystemLocale, RequestsSettingsAndNumbersReadTheSameUnderTurkishAndGermanLocales) {
    std::string skipped;
    for (const std::string name : {"tr_TR.UTF-8", "de_DE.UTF-8"}) {
        SCOPED_TRACE(name);
        LocaleScope scope(name);
        if (!scope.Active()) {
            skipped += " " + name + " (" + scope.Why() + ")";
            continue;
        }

        // Device codes, command names and numbers.
        EXPECT_EQ(quorvel::cm11a::AddressByte("i5"), quorvel::cm11a::AddressByte("I5"));
        EXPECT_TRUE(quorvel::cm11a::AddressByte("i5").has_value());
        EXPECT_EQ(quorvel::cm11a::FunctionCode("ALL_LIGHTS_ON"), quorvel::cm11a::FunctionCode("all_lights_on"));
        EXPECT_EQ(quorvel::app::LeadingCount("2.6"), 3);
        EXPECT_EQ(quorvel::app::LeadingCount("1,5"), 1);

        // A whole request and a role query, as they arrive.
        quorvel::platform::SimPlatform sim;
        quorvel::core::Reporter reporter(sim);
        quorvel::test::RecordingNode node;
        reporter.SetNode(&node);
        reporter.SetXapRunning(true);
        quorvel::core::Settings settings;
        settings.House = "i";
        settings.Ignore = ",I6,";
        std::vector<std::tuple<std::string, int, int>> queued;
        quorvel::app::RequestActions actions;
        actions.CM11AReady = [] { return true; };
        actions.XapSource = [] { return std::string("zeb.CM11A.mybox"); };
        actions.SendCM11A = [&](const std::string& d, int c, int n) { queued.emplace_back(d, c, n); };
        quorvel::app::RequestHandler handler(reporter, settings, actions);
        handler.Readmessage(Request("XAP-X10.REQUEST", "XAP-X10.REQUEST", "DEVICE=i5,i6\nCOMMAND=ALL_LIGHTS_ON\nCOUNT=2.6\n"));
        EXPECT_EQ(queued, (std::vector<std::tuple<std::string, int, int>>{{"i5", 1, 3}}));
        handler.Readmessage(Request("HOMESEER.ROLE", "ROLE.QUERY", "ROLE=APPLICATION\n"));
        ASSERT_EQ(node.sent.size(), 1u);
        EXPECT_EQ(node.sent[0].cls, "Homeseer.Role");

        // Settings files.
        quorvel::test::TempDir dir;
        quorvel::test::WriteBytes(dir.path() / "q.ini", "[general]\r\nignore=i5\r\n");
        quorvel::host::IniTool ini(reporter, sim);
        ini.Load((dir.path() / "q.ini").string());
        EXPECT_EQ(ini.Read("GENERAL", "IGNORE", "none"), "i5");
    }
    if (!skipped.empty()) std::cout << "[ SKIPPED  ] locales not available:" << skipped << "\n";
    if (skipped.find("de_DE") != std::string::npos && skipped.find("tr_TR") != std::string::npos) {
        GTEST_SKIP() << "no locale to test under:" << skipped;
    }
}
