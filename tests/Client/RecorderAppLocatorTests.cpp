#include "RecorderAutomation/Client/RecorderAppLocator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>

#include "tests/Support/FakePlatform.h"
#include "RecorderAutomation/Platform/ApplicationLauncher.h"
#include "RecorderAutomation/Protocol/AutomationProtocol.h"
#include "tests/Support/TestBundle.h"
#include "tests/Support/AppSocket.h"
#include "tests/Support/TemporaryHome.h"
#include "tests/Support/ThrownBy.h"

namespace recorder {
namespace {

namespace fs = std::filesystem;
using Failure = RecorderAppLocator::Failure;
using testsupport::PlistFormat;
using testsupport::TemporaryDirectory;
using Clock = std::chrono::steady_clock;

const std::string release(RecorderAppLocator::releaseBundleIdentifier);
const std::string debug(RecorderAppLocator::debugBundleIdentifier);

template <class Body>
Failure locatorFailure(Body body) {
    return testsupport::thrownBy(body, Failure::notReachable());
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

class RecorderAppLocatorTests : public ::testing::Test {
protected:
    TemporaryDirectory directory;
    testsupport::TemporaryHome home;
};

TEST_F(RecorderAppLocatorTests, ConstantsAndFailureTexts) {
    EXPECT_EQ(release, LUMORA_BUNDLE_IDENTIFIER);
    EXPECT_EQ(debug, release + ".debug");
    EXPECT_EQ(RecorderAppLocator::knownBundleIdentifiers[0], release);
    EXPECT_EQ(RecorderAppLocator::appBundleIdentifierInfoKey, "RecorderAppBundleIdentifier");
    EXPECT_EQ(RecorderAppLocator::appGroupInfoKey, "RecorderAppGroup");
    EXPECT_EQ(Failure::launchFailed("The app did not start.").description(),
              "launchFailed(\"The app did not start.\")");
    EXPECT_EQ(Failure::unexpectedBundle("Lumora.app").description(), "unexpectedBundle(\"Lumora.app\")");
    EXPECT_EQ(Failure::notInsideAppBundle().description(), "notInsideAppBundle");
    EXPECT_EQ(Failure::runningButUnreachable().description(), "runningButUnreachable");
    EXPECT_EQ(Failure::notReachable().description(), "notReachable");
}

struct ContainingCase {
    const char* name;
    const char* executable;  // below the temporary directory
    const char* bundle;      // expected bundle below it, or nullptr for notInsideAppBundle
};
class ContainingWalk : public RecorderAppLocatorTests, public ::testing::WithParamInterface<ContainingCase> {};

TEST_P(ContainingWalk, FindsInnermostAppBundle) {
    const nlohmann::json embedded = {{"RecorderAppBundleIdentifier", release}};
    const auto executable = directory.path() / GetParam().executable;
    if (GetParam().bundle == nullptr) {
        EXPECT_EQ(locatorFailure([&] { RecorderAppLocator::containing(executable, embedded); }),
                  Failure::notInsideAppBundle());
    } else {
        EXPECT_EQ(RecorderAppLocator::containing(executable, embedded).appURL(), directory.path() / GetParam().bundle);
    }
}

INSTANTIATE_TEST_SUITE_P(
    RecorderAppLocatorTests, ContainingWalk,
    ::testing::Values(ContainingCase{"helper", "Lumora.app/Contents/Helpers/Quillon", "Lumora.app"},
                      ContainingCase{"mainExecutable", "Lumora.app/Contents/MacOS/Lumora", "Lumora.app"},
                      ContainingCase{"innermostWins", "Outer.app/Contents/Inner.app/Contents/MacOS/inner",
                                     "Outer.app/Contents/Inner.app"},
                      ContainingCase{"executableItself", "Tool.app", "Tool.app"},
                      ContainingCase{"dotDotIsResolved", "Lumora.app/Contents/Helpers/../Helpers/vantor", "Lumora.app"},
                      ContainingCase{"plainTree", "usr/local/bin/vantor", nullptr},
                      ContainingCase{"upperCaseExtension", "Lumora.APP/Contents/Helpers/vantor", nullptr},
                      ContainingCase{"suffixOnly", "Lumoraapp/Contents/Helpers/vantor", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RecorderAppLocatorTests, ContainingRootIsNotInsideABundle) {
    EXPECT_EQ(locatorFailure([] { RecorderAppLocator::containing("/", std::nullopt); }), Failure::notInsideAppBundle());
    EXPECT_EQ(locatorFailure([] { RecorderAppLocator::containing("/vantor", std::nullopt); }),
              Failure::notInsideAppBundle());
}

TEST_F(RecorderAppLocatorTests, EmbeddedIdentityWinsWithoutOpeningTheBundle) {
    // No Info.plist on disk at all: the embedded dictionary is enough.
    const auto executable = directory.path() / "Lumora.app/Contents/Helpers/Quillon";
    const auto locator = RecorderAppLocator::containing(
        executable,
        nlohmann::json{{"RecorderAppBundleIdentifier", debug}, {"RecorderAppGroup", "K9WQ2ZP4LM.recorder"}});
    EXPECT_EQ(locator, RecorderAppLocator(directory.path() / "Lumora.app", debug, "K9WQ2ZP4LM.recorder"));
}

TEST_F(RecorderAppLocatorTests, EmbeddedUnknownIdentifierIsUnexpectedEvenInsideABundle) {
    testsupport::makeBundle(directory.path(), "Lumora", {{"CFBundleIdentifier", release}});
    const auto executable = directory.path() / "Lumora.app/Contents/Helpers/Quillon";
    EXPECT_EQ(locatorFailure([&] {
                  RecorderAppLocator::containing(executable,
                                                 nlohmann::json{{"RecorderAppBundleIdentifier", "com.example.other"}});
              }),
              Failure::unexpectedBundle("com.example.other"));
}

TEST_F(RecorderAppLocatorTests, EmbeddedMalformedGroupIsDroppedAndEndpointFallsBack) {
    const auto executable = directory.path() / "Lumora.app/Contents/Helpers/vantor";
    for (const nlohmann::json& group : {nlohmann::json("k9wq2zp4lm.recorder"), nlohmann::json(42)}) {
        const auto locator = RecorderAppLocator::containing(
            executable, nlohmann::json{{"RecorderAppBundleIdentifier", release}, {"RecorderAppGroup", group}});
        EXPECT_FALSE(locator.appGroup().has_value());
        EXPECT_EQ(locator.endpoint().path(), (home.path() / ".local/share" / release / "automation.sock").string());
    }
}

TEST_F(RecorderAppLocatorTests, EmbeddedWithoutIdentifierReadsTheBundle) {
    testsupport::makeBundle(directory.path(), "Lumora", {{"CFBundleIdentifier", debug}});
    const auto executable = directory.path() / "Lumora.app/Contents/Helpers/vantor";
    for (const std::optional<nlohmann::json>& embedded :
         {std::optional<nlohmann::json>{}, std::optional<nlohmann::json>{nlohmann::json::object()},
          std::optional<nlohmann::json>{nlohmann::json{{"RecorderAppBundleIdentifier", 7}}}}) {
        EXPECT_EQ(RecorderAppLocator::containing(executable, embedded).bundleIdentifier(), debug);
    }
}

class ForBundleFormats : public RecorderAppLocatorTests, public ::testing::WithParamInterface<PlistFormat> {};

TEST_P(ForBundleFormats, ReadsIdentifierAndGroup) {
    const auto bundle = testsupport::makeBundle(
        directory.path(), "Lumora", {{"CFBundleIdentifier", release}, {"RecorderAppGroup", "K9WQ2ZP4LM.recorder"}},
        std::nullopt, GetParam());
    EXPECT_EQ(RecorderAppLocator::forBundle(bundle), RecorderAppLocator(bundle, release, "K9WQ2ZP4LM.recorder"));

    const auto badGroup = testsupport::makeBundle(
        directory.path(), "Other", {{"CFBundleIdentifier", debug}, {"RecorderAppGroup", "K9WQ2ZP4L.recorder"}},
        std::nullopt, GetParam());
    EXPECT_EQ(RecorderAppLocator::forBundle(badGroup), RecorderAppLocator(badGroup, debug, std::nullopt));

    const auto foreign = testsupport::makeBundle(
        directory.path(), "Foreign", {{"CFBundleIdentifier", "com.example.viewer"}}, std::nullopt, GetParam());
    EXPECT_EQ(locatorFailure([&] { RecorderAppLocator::forBundle(foreign); }),
              Failure::unexpectedBundle("com.example.viewer"));
}

INSTANTIATE_TEST_SUITE_P(RecorderAppLocatorTests, ForBundleFormats,
                         ::testing::Values(PlistFormat::xml, PlistFormat::binary));

TEST_F(RecorderAppLocatorTests, ForBundleOnNonBundleNamesTheDirectory) {
    fs::create_directories(directory.path() / "Plain.app");
    EXPECT_EQ(locatorFailure([&] { RecorderAppLocator::forBundle(directory.path() / "Plain.app"); }),
              Failure::unexpectedBundle("Plain.app"));
    EXPECT_EQ(locatorFailure([&] { RecorderAppLocator::forBundle(directory.path() / "Missing.app/"); }),
              Failure::unexpectedBundle("Missing.app"));
}

TEST_F(RecorderAppLocatorTests, EndpointPathTooLongPassesThrough) {
    const auto deep = home.path() / std::string(80, 'h');
    ::setenv("HOME", deep.c_str(), 1);
    const RecorderAppLocator locator(directory.path() / "Lumora.app", release, std::nullopt);
    try {
        locator.ensureRunning(1);
        FAIL() << "expected pathTooLong";
    } catch (const AutomationEndpoint::Failure& failure) {
        EXPECT_TRUE(failure.is<AutomationEndpoint::PathTooLong>());
    }
}

// Locators of temporary bundles on the fake platform; what a launch does is chosen per test.
class EnsureRunningTests : public RecorderAppLocatorTests {
protected:
    testsupport::FakePlatform platform;
    std::optional<testsupport::AppSocket> listener;

    RecorderAppLocator bundle(const std::string& name = "Lumora") {
        return RecorderAppLocator::forBundle(
            testsupport::makeBundle(directory.path(), name, {{"CFBundleIdentifier", release}}), platform);
    }
    // The launched app runs but never opens its socket.
    void appSleeps() {
        platform.onLaunch = [this](const fs::path& launched) { platform.run(launched); };
    }
    // The launched app runs and answers on the socket of `locator`.
    void appListens(const RecorderAppLocator& locator) {
        platform.onLaunch = [this, locator](const fs::path& launched) {
            platform.run(launched);
            locator.endpoint().prepareDirectory();
            listener.emplace(locator.endpoint().path(), [](int) {});
        };
    }
    const std::vector<std::string> launchArguments{std::string(AutomationProtocol::automationLaunchArgument)};
};

TEST_F(EnsureRunningTests, IsRunningCountsOnlyThisCopy) {
    appSleeps();
    const auto locator = bundle();
    const auto elsewhere = bundle("Copy");
    EXPECT_FALSE(locator.isRunning());
    locator.launch();
    EXPECT_TRUE(locator.isRunning());
    EXPECT_FALSE(elsewhere.isRunning()) << "another copy with the same identifier does not count";

    // The same bundle named through a symbolic link, or with a trailing separator, is this copy.
    fs::create_directory_symlink(locator.appURL(), directory.path() / "Link.app");
    EXPECT_TRUE(RecorderAppLocator(directory.path() / "Link.app", release, std::nullopt, platform).isRunning());
    EXPECT_TRUE(RecorderAppLocator(locator.appURL().string() + "/", release, std::nullopt, platform).isRunning());
}

TEST_F(EnsureRunningTests, AnotherUsersCopyIsNotThisUsersApp) {
    // On a shared machine another user runs this very bundle (and one process runs it with another
    // user's effective id); neither is the caller's app, so ensureRunning launches the caller's own.
    const auto locator = bundle();
    platform.run(locator.appURL(), {4242, 4242});
    platform.run(locator.appURL(), {testsupport::FakePlatform::user.realUserID, 4242});
    EXPECT_FALSE(locator.isRunning());
    appListens(locator);
    EXPECT_TRUE(locator.ensureRunning(5).isReachable());
    EXPECT_EQ(platform.launches.size(), 1u);
    EXPECT_TRUE(locator.isRunning());
}

TEST_F(EnsureRunningTests, EndpointComesFromThePlatformsDirectories) {
    platform.groupContainers["K9WQ2ZP4LM.recorder"] = directory.path() / "Group";
    const RecorderAppLocator grouped(directory.path() / "Lumora.app", release, "K9WQ2ZP4LM.recorder", platform);
    EXPECT_EQ(grouped.endpoint().directory(), directory.path() / "Group");
    const RecorderAppLocator other(directory.path() / "Lumora.app", release, "A1B2C3D4E5.other", platform);
    EXPECT_EQ(other.endpoint().directory(), home.path() / ".local/share" / release);
}

TEST_F(EnsureRunningTests, AnsweringSocketIsUsedWithoutLaunch) {
    const auto locator = bundle();
    locator.endpoint().prepareDirectory();
    testsupport::AppSocket answering(locator.endpoint().path(), [](int) {});
    const auto start = Clock::now();
    const auto client = locator.ensureRunning(5);
    EXPECT_LT(secondsSince(start), 1.0);
    EXPECT_EQ(client.endpoint(), locator.endpoint());
    EXPECT_EQ(client.timeout(), 10.0);
    EXPECT_TRUE(platform.launches.empty());
}

TEST_F(EnsureRunningTests, LaunchesAppThatOpensItsSocket) {
    const auto locator = bundle();
    appListens(locator);
    const auto client = locator.ensureRunning(10);
    EXPECT_TRUE(client.isReachable());
    ASSERT_EQ(platform.launches.size(), 1u);
    EXPECT_EQ(platform.launches[0].first, locator.appURL());
    EXPECT_EQ(platform.launches[0].second, launchArguments);
}

TEST_F(EnsureRunningTests, AppThatExitsAtOnceFailsAfterAboutThreeSeconds) {
    const auto locator = bundle();
    const auto start = Clock::now();
    EXPECT_EQ(locatorFailure([&] { locator.ensureRunning(15); }), Failure::launchFailed("The app did not start."));
    EXPECT_GE(secondsSince(start), 3.0);
    EXPECT_LT(secondsSince(start), 4.5);
}

TEST_F(EnsureRunningTests, GoneAppBeforeThreeSecondsIsNotReachableAtTheDeadline) {
    const auto locator = bundle();
    const auto start = Clock::now();
    EXPECT_EQ(locatorFailure([&] { locator.ensureRunning(0.6); }), Failure::notReachable());
    EXPECT_LT(secondsSince(start), 2.0);
}

TEST_F(EnsureRunningTests, AppThatNeverOpensItsSocketIsRunningButUnreachable) {
    appSleeps();
    const auto locator = bundle();
    const auto start = Clock::now();
    EXPECT_EQ(locatorFailure([&] { locator.ensureRunning(1.0); }), Failure::runningButUnreachable());
    EXPECT_GE(secondsSince(start), 1.0);
    EXPECT_LT(secondsSince(start), 3.0);
}

TEST_F(EnsureRunningTests, RunningCopyWithoutSocketIsNotLaunchedAgain) {
    appSleeps();
    const auto locator = bundle();
    locator.launch();
    const auto start = Clock::now();
    EXPECT_EQ(locatorFailure([&] { locator.ensureRunning(10); }), Failure::runningButUnreachable());
    EXPECT_LT(secondsSince(start), 1.5) << "no wait after the probe";
    EXPECT_EQ(platform.launches.size(), 1u);
}

TEST_F(EnsureRunningTests, LaunchErrorIsLaunchFailedWithTheReason) {
    // The launcher's own reasons are shown by the platform tests; the locator passes them on.
    platform.onLaunch = [](const fs::path&) {
        throw platform::LaunchError("Could not start Lumora.app: No such file or directory");
    };
    const auto failure = locatorFailure([&] { bundle().ensureRunning(5); });
    ASSERT_TRUE(failure.is<RecorderAppLocator::LaunchFailed>());
    EXPECT_EQ(failure.as<RecorderAppLocator::LaunchFailed>()->reason,
              "Could not start Lumora.app: No such file or directory")
        << failure.description();
}

TEST_F(EnsureRunningTests, CancellationEndsThePolling) {
    appSleeps();
    const auto locator = bundle();
    std::stop_source stop;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        stop.request_stop();
    });
    const auto start = Clock::now();
    EXPECT_THROW(locator.ensureRunning(10, stop.get_token()), CancellationError);
    // The probe in flight (at most 1 s) may finish first.
    EXPECT_LT(secondsSince(start), 1.7);
    canceller.join();
}

}  // namespace
}  // namespace recorder
