#include <gtest/gtest.h>

#include <fcntl.h>
#include <plist/plist.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/Support/TestBundle.h"
#include "tests/Support/TemporaryHome.h"
#include "RecorderAutomation/Platform/ApplicationLauncher.h"
#include "RecorderAutomation/Platform/Bundle.h"
#include "RecorderAutomation/Platform/EmbeddedInfoPlist.h"
#include "RecorderAutomation/Platform/InfoPlist.h"
#include "RecorderAutomation/Platform/ProcessInfo.h"
#include "RecorderAutomation/Platform/RunningApplications.h"

namespace recorder {
namespace {

namespace fs = std::filesystem;
using platform::InfoPlist::parse;
using testsupport::PlistFormat;
using testsupport::TemporaryDirectory;

std::string serialise(plist_t root, PlistFormat format) {
    char* bytes = nullptr;
    std::uint32_t length = 0;
    if (format == PlistFormat::xml)
        plist_to_xml(root, &bytes, &length);
    else
        plist_to_bin(root, &bytes, &length);
    std::string text(bytes, length);
    std::free(bytes);
    plist_free(root);
    return text;
}

class InfoPlistFormats : public ::testing::TestWithParam<PlistFormat> {};

TEST_P(InfoPlistFormats, ConvertsEveryValueKind) {
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "text", plist_new_string("Lumora \xE2\x80\x94 1.3"));
    plist_dict_set_item(root, "yes", plist_new_bool(1));
    plist_dict_set_item(root, "no", plist_new_bool(0));
    plist_dict_set_item(root, "count", plist_new_uint(14));
    plist_dict_set_item(root, "ratio", plist_new_real(1.5));
    plist_dict_set_item(root, "when", plist_new_date(0, 0));
    plist_t array = plist_new_array();
    plist_array_append_item(array, plist_new_string("a"));
    plist_array_append_item(array, plist_new_uint(2));
    plist_dict_set_item(root, "list", array);
    plist_t inner = plist_new_dict();
    plist_dict_set_item(inner, "k", plist_new_string("v"));
    plist_dict_set_item(root, "nested", inner);

    const auto value = parse(serialise(root, GetParam()));
    ASSERT_TRUE(value.has_value());
    const nlohmann::json expected = {{"text", "Lumora \xE2\x80\x94 1.3"},
                                     {"yes", true},
                                     {"no", false},
                                     {"count", 14},
                                     {"ratio", 1.5},
                                     {"list", {"a", 2}},
                                     {"nested", {{"k", "v"}}}};
    EXPECT_EQ(*value, expected) << value->dump();
    EXPECT_TRUE((*value)["count"].is_number_integer());
}

INSTANTIATE_TEST_SUITE_P(PlatformTests, InfoPlistFormats, ::testing::Values(PlistFormat::xml, PlistFormat::binary));

TEST(PlatformTests, InfoPlistReadsNegativeIntegersAndRejectsGarbage) {
    const auto value = parse(
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>n</key><integer>-3</integer>"
        "</dict></plist>");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ((*value)["n"], -3);
    EXPECT_FALSE(parse("").has_value());
    EXPECT_FALSE(parse("not a property list").has_value());
    EXPECT_FALSE(parse("bplist00\x01\x02").has_value());
}

TEST(PlatformTests, InfoPlistRefusesAKeyHoldingANulCharacterInsteadOfAborting) {
    // A binary list whose dictionary key is the UTF-16 text "\u00e9\u0000x"; reading such a key
    // used to abort the process inside libplist.
    const unsigned char bytes[] = {0x62, 0x70, 0x6c, 0x69, 0x73, 0x74, 0x30, 0x30, 0xd2, 0x01, 0x02, 0x03, 0x04, 0x5f,
                                   0x10, 0x12, 0x43, 0x46, 0x42, 0x75, 0x6e, 0x64, 0x6c, 0x65, 0x49, 0x64, 0x65, 0x6e,
                                   0x74, 0x69, 0x66, 0x69, 0x65, 0x72, 0x63, 0x00, 0xe9, 0x00, 0x00, 0x00, 0x78, 0x53,
                                   0x61, 0x2e, 0x62, 0x51, 0x76, 0x08, 0x0d, 0x22, 0x29, 0x2d, 0x00, 0x00, 0x00, 0x00,
                                   0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00,
                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2f};
    EXPECT_FALSE(parse(std::string(reinterpret_cast<const char*>(bytes), sizeof bytes)).has_value());
    EXPECT_FALSE(parse("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a&#0;b</key><string>v</string>"
                       "</dict></plist>")
                     .has_value());
}

TEST(PlatformTests, InfoPlistRefusesTextThatIsNotUTF8) {
    // A Latin-1 XML file, and a binary ASCII text with a high byte hidden behind a repeated key.
    EXPECT_FALSE(parse("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k</key><string>caf\xe9</string>"
                       "</dict></plist>")
                     .has_value());
    const unsigned char bytes[] = {0x62, 0x70, 0x6c, 0x69, 0x73, 0x74, 0x30, 0x30, 0xd2, 0x01, 0x01, 0x02, 0x03, 0x51,
                                   0x6b, 0x51, 0x88, 0x51, 0x76, 0x08, 0x0d, 0x0f, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00,
                                   0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x13};
    EXPECT_FALSE(parse(std::string(reinterpret_cast<const char*>(bytes), sizeof bytes)).has_value());
}

TEST(PlatformTests, InfoPlistLeavesOutNumbersThatJSONCannotHold) {
    const auto value = parse(
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>nan</key><real>nan</real>"
        "<key>inf</key><real>-inf</real><key>half</key><real>0.5</real></dict></plist>");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, nlohmann::json({{"half", 0.5}}));
}

TEST(PlatformTests, ReadDictionaryNeedsADictionaryFile) {
    TemporaryDirectory directory;
    EXPECT_FALSE(platform::InfoPlist::readDictionary(directory.path() / "missing.plist").has_value());
    const auto arrayFile = directory.path() / "array.plist";
    std::ofstream(arrayFile) << serialise(plist_new_array(), PlistFormat::xml);
    EXPECT_FALSE(platform::InfoPlist::readDictionary(arrayFile).has_value());
    const auto good = directory.path() / "good.plist";
    testsupport::writeInfoPlist(good, {{"CFBundleIdentifier", "app.lumora.Lumora"}}, PlistFormat::binary);
    EXPECT_EQ(platform::InfoPlist::readDictionary(good), nlohmann::json({{"CFBundleIdentifier", "app.lumora.Lumora"}}));
}

TEST(PlatformTests, EmbeddedListIsTheOneCompiledIntoThisProgram) {
    // This test program embeds EmbeddedInfo.plist.in, which replaces the library's empty default.
    const auto dictionary = platform::embeddedInfoDictionary();
    ASSERT_TRUE(dictionary.has_value()) << platform::embeddedInfoPlistText();
    EXPECT_EQ((*dictionary)["RecorderAppBundleIdentifier"], LUMORA_BUNDLE_IDENTIFIER);
    EXPECT_EQ((*dictionary)["RecorderAppGroup"], LUMORA_APP_GROUP);
}

TEST(PlatformTests, BundleReadsIdentifierAndExecutable) {
    TemporaryDirectory directory;
    const auto path = testsupport::makeBundle(
        directory.path(), "Lumora", {{"CFBundleIdentifier", "app.lumora.Lumora"}, {"CFBundleExecutable", "Lumora"}});
    const auto bundle = platform::Bundle::open(path);
    ASSERT_TRUE(bundle.has_value());
    EXPECT_EQ(bundle->bundleIdentifier(), "app.lumora.Lumora");
    EXPECT_EQ(bundle->executableURL(), path / "Contents/MacOS/Lumora");
    EXPECT_FALSE(platform::Bundle::open(directory.path() / "Missing.app").has_value());

    const auto plain = directory.path() / "Plain.app";
    fs::create_directory(plain);
    const auto opened = platform::Bundle::open(plain);
    ASSERT_TRUE(opened.has_value());
    EXPECT_FALSE(opened->bundleIdentifier().has_value());

    const auto escaping = testsupport::makeBundle(
        directory.path(), "Escaping", {{"CFBundleIdentifier", "x"}, {"CFBundleExecutable", "../../../bin/sh"}});
    EXPECT_FALSE(platform::Bundle::open(escaping)->executableURL().has_value());
}

TEST(PlatformTests, ExecutablePathIsThisProgram) {
    const auto path = platform::ProcessInfo::executablePath();
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(path->filename(), "PlatformTests");
    EXPECT_TRUE(path->is_absolute());
    EXPECT_EQ(fs::path(platform::ProcessInfo::firstArgument().value_or("")).filename(), "PlatformTests");
}

TEST(PlatformTests, ApplicationBundleOfExecutableNeedsContentsMacOS) {
    EXPECT_EQ(platform::applicationBundleOfExecutable("/A/Lumora.app/Contents/MacOS/Lumora"),
              fs::path("/A/Lumora.app"));
    EXPECT_FALSE(platform::applicationBundleOfExecutable("/A/Lumora.app/Contents/Helpers/vantor").has_value());
    EXPECT_FALSE(platform::applicationBundleOfExecutable("/A/Lumora/Contents/MacOS/Lumora").has_value());
}

TEST(PlatformTests, OwnerOfProcessIsItsRealAndEffectiveUserIDs) {
    EXPECT_EQ(platform::ownerOfProcess("/proc/self"), platform::ProcessOwner::current());
    TemporaryDirectory directory;
    EXPECT_EQ(platform::ownerOfProcess(directory.path()), std::nullopt) << "no status file";
    std::ofstream(directory.path() / "status") << "Name:\tx\nUid:\tnobody\n";
    EXPECT_EQ(platform::ownerOfProcess(directory.path()), std::nullopt);
    std::ofstream(directory.path() / "status")
        << "Name:\tx\nUmask:\t0022\nUid:\t1000\t0\t1000\t1000\nGid:\t5\t5\t5\t5\n";
    EXPECT_EQ(platform::ownerOfProcess(directory.path()), (platform::ProcessOwner{1000, 0}));
}

TEST(PlatformTests, RunningApplicationsAreTheOwnersOnly) {
    // A process table laid out like /proc: one bundle run under several owners.
    TemporaryDirectory directory;
    const std::string identifier = "app.lumora.owner-test";
    const auto bundle = testsupport::makeBundle(directory.path(), "Mine", {{"CFBundleIdentifier", identifier}});
    const auto table = directory.path() / "proc";
    const auto enter = [&](int process, const char* userIDs) {
        const auto entry = table / std::to_string(process);
        fs::create_directories(entry);
        fs::create_symlink(bundle / "Contents/MacOS/Mine", entry / "exe");
        std::ofstream(entry / "comm") << "Mine\n";
        if (userIDs != nullptr) std::ofstream(entry / "status") << "Name:\tMine\nUid:\t" << userIDs << "\n";
    };
    enter(10, "1000\t1000\t1000\t1000");
    enter(11, "2000\t2000\t2000\t2000");  // another user's copy
    enter(12, "1000\t0\t1000\t1000");     // the caller's real id, another effective one
    enter(13, nullptr);                   // gone before its status could be read
    using Apps = std::vector<platform::RunningApplication>;
    EXPECT_EQ(platform::runningApplications(identifier, table, {1000, 1000}), (Apps{{10, bundle}}));
    EXPECT_EQ(platform::runningApplications(identifier, table, {2000, 2000}), (Apps{{11, bundle}}));
    EXPECT_EQ(platform::runningApplications(identifier, table, {3000, 3000}), Apps{});
}

// Launching real programs from temporary bundles.
class LaunchTests : public ::testing::Test {
protected:
    // Unique per test process: CTest runs tests side by side, and each must see only its own apps.
    const std::string identifier = "app.lumora.launch-test." + std::to_string(::getpid());
    TemporaryDirectory directory;
    testsupport::TemporaryHome home;

    fs::path bundleWith(const std::string& behaviour, const std::string& name = "Sleepy") {
        return testsupport::makeBundle(directory.path(), name,
                                       {{"CFBundleIdentifier", identifier},
                                        {"CFBundleExecutable", name},
                                        {"TestBehaviour", behaviour},
                                        {"TestRecordFile", (directory.path() / (name + ".record")).string()}},
                                       fs::path(LUMORA_TEST_APP));
    }
    std::vector<platform::RunningApplication> waitForApplications(std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        auto apps = platform::runningApplications(identifier);
        while (apps.size() != count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            apps = platform::runningApplications(identifier);
        }
        return apps;
    }
    void TearDown() override { testsupport::stopApplicationsUnder(directory.path(), identifier); }
};

TEST_F(LaunchTests, LaunchedAppRunsDetachedWithTheLaunchArgument) {
    const auto bundle = bundleWith("sleep");
    // An inheritable descriptor of the caller's, such as a lock, must not live on in the app.
    // (A high number, which the app does not reach by opening files of its own.)
    const int opened = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(opened, 0);
    const int inheritable = ::fcntl(opened, F_DUPFD, 200);
    ::close(opened);
    ASSERT_GE(inheritable, 200);
    platform::ApplicationLauncher::open(bundle, {"--automation-launch"});
    ::close(inheritable);
    const auto apps = waitForApplications(1);
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0].bundleURL, bundle);
    const pid_t pid = apps[0].processIdentifier;
    EXPECT_EQ(::getsid(pid), pid) << "its own session";
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(pid) + "/fd/0"), "/dev/null");
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(pid) + "/fd/1"), "/dev/null");
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(pid) + "/fd/2"), "/dev/null");
    EXPECT_FALSE(fs::exists("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(inheritable)))
        << "the caller's descriptor " << inheritable << " was inherited";

    std::string record;
    for (int i = 0; i < 300 && record.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::getline(std::ifstream(directory.path() / "Sleepy.record"), record);
    }
    EXPECT_EQ(record, "--automation-launch");

    // A second open of the same copy starts nothing new.
    platform::ApplicationLauncher::open(bundle, {"--automation-launch"});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(platform::runningApplications(identifier).size(), 1u);

    // Once it ends it is reaped: no zombie stays in the process table.
    ::kill(pid, SIGKILL);
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        gone = !fs::exists("/proc/" + std::to_string(pid));
    }
    EXPECT_TRUE(gone);
}

TEST_F(LaunchTests, LaunchedAppKeepsNoDescriptorOfTheLauncher) {
    // As a script's lock would be: open without close-on-exec, inherited by whatever we start.
    const auto held = directory.path() / "held.lock";
    const int fd = ::open(held.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 3);
    platform::ApplicationLauncher::open(bundleWith("sleep"), {"--automation-launch"});
    const auto apps = waitForApplications(1);
    ::close(fd);
    ASSERT_EQ(apps.size(), 1u);
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(apps[0].processIdentifier) + "/fd", ec)) {
        // The app opens and closes files of its own as it starts; a descriptor listed a moment ago
        // may be gone by the time it is read, and a gone descriptor is not the held one.
        std::error_code gone;
        const auto target = fs::read_symlink(entry.path(), gone);
        if (gone) {
            EXPECT_EQ(gone, std::errc::no_such_file_or_directory) << entry.path();
            continue;
        }
        EXPECT_NE(target, held) << entry.path();
    }
    EXPECT_FALSE(ec) << ec.message();
}

TEST_F(LaunchTests, HelperInsideTheBundleIsNotTheApplication) {
    const auto bundle = bundleWith("sleep");
    fs::create_directories(bundle / "Contents/Helpers");
    fs::copy_file(LUMORA_TEST_APP, bundle / "Contents/Helpers/helper");
    EXPECT_TRUE(platform::runningApplications(identifier).empty());
    // This very test runs outside any bundle, so nothing of it counts either.
}

// Children of this process that have ended but were never waited for.
int zombieChildren() {
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        const auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 1));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        if (state == 'Z' && parent == ::getpid()) ++count;
    }
    return count;
}

TEST_F(LaunchTests, ExitingAppLeavesNoZombie) {
    platform::ApplicationLauncher::open(bundleWith("exit", "Quick"), {});
    std::string record = "unwritten";
    for (int i = 0; i < 300 && record == "unwritten"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (fs::exists(directory.path() / "Quick.record")) record.clear();
    }
    ASSERT_EQ(record, "") << "the app did not run";
    int zombies = 1;
    for (int i = 0; i < 200 && zombies > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        zombies = zombieChildren();
    }
    EXPECT_EQ(zombies, 0);
    EXPECT_TRUE(platform::runningApplications(identifier).empty());
}

struct LaunchFailureCase {
    const char* name;
    const char* expectedReason;
};
class LaunchFailures : public LaunchTests, public ::testing::WithParamInterface<LaunchFailureCase> {};

TEST_P(LaunchFailures, ReportReadableReason) {
    fs::path bundle;
    const std::string which = GetParam().name;
    if (which == "missingExecutable") {
        bundle = testsupport::makeBundle(directory.path(), "Empty",
                                         {{"CFBundleIdentifier", identifier}, {"CFBundleExecutable", "Empty"}});
    } else if (which == "notExecutable") {
        bundle = testsupport::makeBundle(directory.path(), "Text",
                                         {{"CFBundleIdentifier", identifier}, {"CFBundleExecutable", "Text"}});
        std::ofstream(bundle / "Contents/MacOS/Text") << "plain text";
        fs::permissions(bundle / "Contents/MacOS/Text", fs::perms::owner_read | fs::perms::owner_write);
    } else if (which == "noExecutableName") {
        bundle = testsupport::makeBundle(directory.path(), "Nameless", {{"CFBundleIdentifier", identifier}});
    } else {
        bundle = directory.path() / "Nowhere.app";
    }
    try {
        platform::ApplicationLauncher::open(bundle, {"--automation-launch"});
        FAIL() << "expected a launch error";
    } catch (const platform::LaunchError& error) {
        EXPECT_NE(std::string(error.what()).find(GetParam().expectedReason), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find(bundle.filename().string()), std::string::npos) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(PlatformTests, LaunchFailures,
                         ::testing::Values(LaunchFailureCase{"missingExecutable", "No such file or directory"},
                                           LaunchFailureCase{"notExecutable", "Permission denied"},
                                           LaunchFailureCase{"noExecutableName", "names no executable"},
                                           LaunchFailureCase{"noBundle", "not an application bundle"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace recorder
