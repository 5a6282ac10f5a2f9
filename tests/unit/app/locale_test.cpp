// Requests, settings and numbers read the same whatever the system locale: Qt sets the C
// locale from LANG, and a Turkish one folds "i" to a dotted capital while a German one reads
// "2.6" as 2.
#include "app/request_handler.h"
#include "cm11a/codes.h"
#include "host/ini_tool.h"
#include "platform/sim/sim_platform.h"
#include "test_support/recording_node.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

namespace {

// Switches to a system locale (generated with localedef into a private folder when missing);
// false when it cannot be had.
bool UseLocale(const std::string& name) {
    if (std::setlocale(LC_ALL, name.c_str()) != nullptr) return true;
    const auto folder = std::filesystem::temp_directory_path() / ("quorvel-test-locales-" + std::to_string(::getuid()));
    const std::string cmd = "mkdir -p " + folder.string() + " && localedef -i " + name.substr(0, name.find('.')) +
                            " -f UTF-8 " + (folder / name).string() + " >/dev/null 2>&1";
    if (!std::filesystem::exists(folder / name) && std::system(cmd.c_str()) != 0) return false;
    ::setenv("LOCPATH", folder.c_str(), 1);
    return std::setlocale(LC_ALL, name.c_str()) != nullptr;
}

}  // namespace

TEST(SystemLocale, RequestsSettingsAndNumbersReadTheSameUnderTurkishAndGermanLocales) {
    int tested = 0;
    for (const std::string name : {"tr_TR.UTF-8", "de_DE.UTF-8"}) {
        SCOPED_TRACE(name);
        if (!UseLocale(name)) continue;
        ++tested;
        EXPECT_EQ(quorvel::cm11a::FunctionCode("ALL_LIGHTS_ON"), quorvel::cm11a::FunctionCode("all_lights_on"));
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
        const std::string header = "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nsource=acme.host.box\ntarget=ZEB.CM11A.MYBOX\n";
        handler.Readmessage(header + "class=XAP-X10.REQUEST\n}\nXAP-X10.REQUEST\n{\nDEVICE=i5,i6\nCOMMAND=ALL_LIGHTS_ON\nCOUNT=2.6\n}\n");
        EXPECT_EQ(queued, (std::vector<std::tuple<std::string, int, int>>{{"i5", 1, 3}}));
        handler.Readmessage(header + "class=HOMESEER.ROLE\n}\nROLE.QUERY\n{\nROLE=APPLICATION\n}\n");
        ASSERT_EQ(node.sent.size(), 1u);
        EXPECT_EQ(node.sent[0].cls, "Homeseer.Role");

        quorvel::test::TempDir dir;
        quorvel::test::WriteBytes(dir.path() / "q.ini", "[general]\r\nignore=i5\r\n");
        quorvel::host::IniTool ini(reporter, sim);
        ini.Load((dir.path() / "q.ini").string());
        EXPECT_EQ(ini.Read("GENERAL", "IGNORE", "none"), "i5");
    }
    std::setlocale(LC_ALL, "C");
    ::unsetenv("LOCPATH");
    if (tested == 0) GTEST_SKIP() << "neither tr_TR nor de_DE could be had here (localedef missing or failed)";
}
