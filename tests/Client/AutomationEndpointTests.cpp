#include "RecorderAutomation/Client/AutomationEndpoint.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "tests/Support/AppSocket.h"
#include "tests/Support/TemporaryHome.h"
#include "tests/Support/ThrownBy.h"

namespace recorder {
namespace {

namespace fs = std::filesystem;
using testsupport::TemporaryDirectory;
using testsupport::TemporaryHome;

AutomationEndpoint::Failure endpointFailure(const std::function<void()>& body) {
    return testsupport::thrownBy(body, AutomationEndpoint::Failure::pathTooLong(-1));
}

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_mode & 07777;
}

TEST(AutomationEndpointTests, PathLimitIsOneHundredBytes) {
    // "/" + directory name + "/automation.sock" (16 bytes).
    const auto directoryOfLength = [](std::size_t socketPathBytes) {
        return fs::path("/" + std::string(socketPathBytes - 1 - 16, 'd'));
    };
    const AutomationEndpoint fits("app.lumora.Lumora", directoryOfLength(100));
    EXPECT_EQ(fits.path().size(), 100u);
    EXPECT_EQ(fits.path(), directoryOfLength(100).string() + "/automation.sock");
    EXPECT_EQ(fits.socketURL().string(), fits.path());
    EXPECT_EQ(endpointFailure([&] { AutomationEndpoint("app.lumora.Lumora", directoryOfLength(101)); }),
              AutomationEndpoint::Failure::pathTooLong(101));
    EXPECT_EQ(AutomationEndpoint::Failure::pathTooLong(101).description(), "pathTooLong(101)");
    EXPECT_EQ(AutomationEndpoint::Failure::insecureDirectory("/x").description(), "insecureDirectory(\"/x\")");
}

struct GroupCase {
    const char* name;
    std::optional<std::string> declared;
    bool accepted;
};
class AppGroupValidation : public ::testing::TestWithParam<GroupCase> {};
TEST_P(AppGroupValidation, AcceptsOnlyTeamDotRest) {
    const auto& c = GetParam();
    const auto declared = c.declared ? std::optional<std::string_view>(*c.declared) : std::nullopt;
    EXPECT_EQ(AutomationEndpoint::appGroup(declared), c.accepted ? c.declared : std::nullopt);
}
INSTANTIATE_TEST_SUITE_P(AutomationEndpointTests, AppGroupValidation,
                         ::testing::Values(GroupCase{"standard", "K9WQ2ZP4LM.recorder", true},
                                           GroupCase{"shortestRest", "K9WQ2ZP4LM.r", true},
                                           GroupCase{"digitsOnly", "0123456789.x.y", true},
                                           GroupCase{"nineBeforeDot", "K9WQ2ZP4L.recorder", false},
                                           GroupCase{"lowercase", "K9WQ2zP4LM.recorder", false},
                                           GroupCase{"hyphen", "K9WQ2ZP4LM-recorder", false},
                                           GroupCase{"nothingAfterDot", "K9WQ2ZP4LM.", false},
                                           GroupCase{"none", std::nullopt, false}, GroupCase{"empty", "", false},
                                           GroupCase{"nonAscii", "K9WQ2ZP4L\xC3\x89.recorder", false},
                                           GroupCase{"elevenBeforeDot", "K9WQ2ZP4LMX.recorder", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AutomationEndpointTests, StandardWithoutGroupUsesApplicationSupport) {
    TemporaryHome home;
    for (const std::optional<std::string>& group :
         {std::optional<std::string>{}, std::optional<std::string>{"K9WQ2ZP4LM.recorder"}}) {
        const auto endpoint = AutomationEndpoint::standard("app.lumora.Lumora", group);
        EXPECT_EQ(endpoint.bundleIdentifier(), "app.lumora.Lumora");
        EXPECT_EQ(endpoint.path(), (home.path() / ".local/share/app.lumora.Lumora/automation.sock").string());
        EXPECT_FALSE(fs::exists(endpoint.directory())) << "standard() touches nothing on disk";
    }
}

TEST(AutomationEndpointTests, StandardTakesHomeFromPasswordDatabaseWhenHomeIsNotAbsolute) {
    TemporaryHome home;
    const auto fromDatabase = [] {
        ::unsetenv("HOME");
        return AutomationEndpoint::standard("app.lumora.Lumora").directory();
    }();
    ::setenv("HOME", "relative/home", 1);
    const auto fromRelative = AutomationEndpoint::standard("app.lumora.Lumora").directory();
    EXPECT_TRUE(fromDatabase.is_absolute());
    EXPECT_EQ(fromDatabase, fromRelative);
    EXPECT_EQ(fromDatabase.filename(), "app.lumora.Lumora");
    EXPECT_NE(fromDatabase, home.path() / ".local/share/app.lumora.Lumora");
}

TEST(AutomationEndpointTests, StandardIgnoresXdgDataHome) {
    TemporaryHome home;
    ::setenv("XDG_DATA_HOME", "/elsewhere", 1);
    const auto endpoint = AutomationEndpoint::standard("app.lumora.Lumora.debug");
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(endpoint.directory(), home.path() / ".local/share/app.lumora.Lumora.debug");
}

TEST(AutomationEndpointTests, StandardRefusesTooLongHome) {
    TemporaryHome home;
    const auto deep = home.path() / std::string(80, 'h');
    ::setenv("HOME", deep.c_str(), 1);
    const auto failure = endpointFailure([] { AutomationEndpoint::standard("app.lumora.Lumora"); });
    EXPECT_TRUE(failure.is<AutomationEndpoint::PathTooLong>());
}

TEST(AutomationEndpointTests, PrepareCreatesMissingDirectoriesPrivately) {
    TemporaryDirectory root;
    const AutomationEndpoint endpoint("app.lumora.Lumora", root.path() / "a" / "b");
    endpoint.prepareDirectory();
    EXPECT_TRUE(fs::is_directory(root.path() / "a" / "b"));
    EXPECT_EQ(modeOf(root.path() / "a"), 0700u);
    EXPECT_EQ(modeOf(root.path() / "a" / "b"), 0700u);
    EXPECT_NO_THROW(endpoint.prepareDirectory()) << "an existing secure directory is fine";
}

TEST(AutomationEndpointTests, PrepareTightensOwnLooseDirectory) {
    TemporaryDirectory root;
    const auto directory = root.path() / "loose";
    ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(directory.c_str(), 0775), 0);
    AutomationEndpoint("app.lumora.Lumora", directory).prepareDirectory();
    EXPECT_EQ(modeOf(directory), 0700u);
}

TEST(AutomationEndpointTests, PrepareRefusesFileAndSymlinkWithoutTouchingThem) {
    TemporaryDirectory root;
    const auto file = root.path() / "file";
    std::ofstream(file) << "keep";
    ::chmod(file.c_str(), 0644);
    EXPECT_EQ(endpointFailure([&] { AutomationEndpoint("x", file).prepareDirectory(); }),
              AutomationEndpoint::Failure::insecureDirectory(file.string()));
    EXPECT_EQ(modeOf(file), 0644u);
    std::string content;
    std::ifstream(file) >> content;
    EXPECT_EQ(content, "keep");

    const auto target = root.path() / "target";
    ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
    const auto link = root.path() / "link";
    fs::create_directory_symlink(target, link);
    EXPECT_EQ(endpointFailure([&] { AutomationEndpoint("x", link).prepareDirectory(); }),
              AutomationEndpoint::Failure::insecureDirectory(link.string()));
    EXPECT_EQ(modeOf(target), 0755u) << "the link's target is left alone";
}

TEST(AutomationEndpointTests, PrepareRefusesDirectoryOfAnotherUser) {
    TemporaryDirectory root;
    fs::path foreign;
    if (::getuid() == 0) {
        foreign = root.path() / "foreign";
        ASSERT_EQ(::mkdir(foreign.c_str(), 0755), 0);
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    } else {
        foreign = "/";  // owned by root
    }
    EXPECT_EQ(endpointFailure([&] { AutomationEndpoint("x", foreign).prepareDirectory(); }),
              AutomationEndpoint::Failure::insecureDirectory(foreign.string()));
}

TEST(AutomationEndpointTests, PrepareReportsCreationErrorsAsThePlatformDoes) {
    TemporaryDirectory root;
    const auto file = root.path() / "file";
    std::ofstream(file) << "x";
    EXPECT_THROW(AutomationEndpoint("x", file / "below").prepareDirectory(), std::system_error);
}

}  // namespace
}  // namespace recorder
