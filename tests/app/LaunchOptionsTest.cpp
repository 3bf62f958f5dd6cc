#include <gtest/gtest.h>

#include "shell/Application.h"
#include "shell/LaunchOptions.h"

namespace qarn {
namespace {

LaunchOptions parsed(const std::vector<std::string>& arguments) {
    LaunchOptions options;
    std::string error;
    EXPECT_TRUE(LaunchOptions::parse(arguments, options, error)) << error;
    return options;
}

std::string refusal(const std::vector<std::string>& arguments) {
    LaunchOptions options;
    std::string error;
    EXPECT_FALSE(LaunchOptions::parse(arguments, options, error));
    return error;
}

TEST(LaunchOptionsTest, AcceptsTheDocumentedForms) {
    const LaunchOptions none = parsed({});
    EXPECT_FALSE(none.text);
    EXPECT_EQ(none.ticks, 0);

    const LaunchOptions text = parsed({"--text", "--ticks", "3"});
    EXPECT_TRUE(text.text);
    EXPECT_EQ(text.ticks, 3);

    EXPECT_EQ(parsed({"--ticks=7"}).ticks, 7);
    EXPECT_EQ(parsed({"--ticks", "1000000000"}).ticks, LaunchOptions::kMaxTicks);

    const LaunchOptions window = parsed({"--ticks", "2", "--dump-window", "--grab", "/tmp/x.png"});
    EXPECT_TRUE(window.dumpWindow);
    EXPECT_EQ(window.grabPath, "/tmp/x.png");
    EXPECT_TRUE(parsed({"-h"}).help);
    EXPECT_FALSE(none.simulate);
    EXPECT_TRUE(parsed({"--simulate", "--text"}).simulate);
}

TEST(LaunchOptionsTest, RefusesBadTicks) {
    for (const char* bad : {"0", "-1", "abc", "3x", " 3", "", "1000000001", "99999999999999999999999"}) {
        EXPECT_NE(refusal({"--ticks", bad}).find("--ticks needs a whole number"), std::string::npos) << bad;
        refusal({std::string("--ticks=") + bad});
    }
    EXPECT_EQ(refusal({"--text", "--ticks"}), "--ticks needs a value");
}

TEST(LaunchOptionsTest, RefusesUnknownOptionsAndMisplacedValues) {
    EXPECT_EQ(refusal({"--bogus"}), "unknown option '--bogus'");
    EXPECT_EQ(refusal({"text"}), "unknown option 'text'");
    EXPECT_EQ(refusal({"--text=yes"}), "--text takes no value");
    EXPECT_EQ(refusal({"--simulate=1"}), "--simulate takes no value");
    refusal({"--grab"});
    refusal({"--grab="});
}

TEST(LaunchOptionsTest, WindowOptionsNeedTheWindowAndTicks) {
    refusal({"--text", "--ticks", "2", "--dump-window"});
    refusal({"--text", "--ticks", "2", "--grab", "x.png"});
    refusal({"--dump-window"});
    refusal({"--grab", "x.png"});
}

TEST(ApplicationTest, DisplayComesFromX11WaylandOrAHeadlessPlatform) {
    EXPECT_FALSE(Application::displayAvailable(nullptr, nullptr, nullptr));
    EXPECT_FALSE(Application::displayAvailable("", "", ""));
    EXPECT_TRUE(Application::displayAvailable(":0", nullptr, nullptr));
    EXPECT_TRUE(Application::displayAvailable(nullptr, "wayland-0", nullptr));
    EXPECT_TRUE(Application::displayAvailable(nullptr, nullptr, "offscreen"));
    EXPECT_TRUE(Application::displayAvailable(nullptr, nullptr, "minimal"));
    // Naming the X11 or Wayland plugin still needs their display.
    EXPECT_FALSE(Application::displayAvailable(nullptr, nullptr, "xcb"));
    EXPECT_FALSE(Application::displayAvailable(nullptr, nullptr, "wayland-egl"));
    EXPECT_TRUE(Application::displayAvailable(":1", nullptr, "xcb"));
}

}  // namespace
}  // namespace qarn
