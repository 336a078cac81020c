#include "RecorderAutomation/Client/RecorderAppLocator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "RecorderAutomation/Platform/RunningApplications.h"
#include "TestBundle.h"
#include "TestSupport.h"

namespace recorder {
namespace {

namespace fs = std::filesystem;
using Failure = RecorderAppLocator::Failure;
using testing::PlistFormat;
using testing::TemporaryDirectory;
using Clock = std::chrono::steady_clock;

const std::string release(RecorderAppLocator::releaseBundleIdentifier);
const std::string debug(RecorderAppLocator::debugBundleIdentifier);

template <class Body>
Failure locatorFailure(Body body) {
    try {
        body();
    } catch (const Failure& failure) {
        return failure;
    }
    ADD_FAILURE() << "expected a locator failure";
    return Failure::notReachable();
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

class RecorderAppLocatorTests : public ::testing::Test {
protected:
    TemporaryDirectory directory;
    testing::TemporaryHome home;
};

TEST_F(RecorderAppLocatorTests, ConstantsAndFailureTexts) {
    EXPECT_EQ(release, LUMORA_BUNDLE_IDENTIFIER);
    EXPECT_EQ(debug, release + ".debug");
    EXPECT_EQ(RecorderAppLocator::knownBundleIdentifiers[0], release);
    EXPECT_EQ(RecorderAppLocator::appBundleIdentifierInfoKey, "RecorderAppBundleIdentifier");
    EXPECT_EQ(RecorderAppLocator::appGroupInfoKey, "RecorderAppGroup");
    EXPECT_EQ(Failure::launchFailed("The app did not start.").description(), "launchFailed(\"The app did not start.\")");
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
        EXPECT_EQ(locatorFailure([&] { RecorderAppLocator::containing(executable, embedded); }), Failure::notInsideAppBundle());
    } else {
        EXPECT_EQ(RecorderAppLocator::containing(executable, embedded).appURL(), directory.path() / GetParam().bundle);
    }
}

INSTANTIATE_TEST_SUITE_P(
    RecorderAppLocatorTests, ContainingWalk,
    ::testing::Values(ContainingCase{"helper", "Lumora.app/Contents/Helpers/Quillon", "Lumora.app"},
                      ContainingCase{"mainExecutable", "Lumora.app/Contents/MacOS/Lumora", "Lumora.app"},
                      ContainingCase{"innermostWins", "Outer.app/Contents/Inner.app/Contents/MacOS/inner", "Outer.app/Contents/Inner.app"},
                      ContainingCase{"executableItself", "Tool.app", "Tool.app"},
                      ContainingCase{"dotDotIsResolved", "Lumora.app/Contents/Helpers/../Helpers/vantor", "Lumora.app"},
                      ContainingCase{"plainTree", "usr/local/bin/vantor", nullptr},
                      ContainingCase{"upperCaseExtension", "Lumora.APP/Contents/Helpers/vantor", nullptr},
                      ContainingCase{"suffixOnly", "Lumoraapp/Contents/Helpers/vantor", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RecorderAppLocatorTests, ContainingRootIsNotInsideABundle) {
    EXPECT_EQ(locatorFailure([] { RecorderAppLocator::containing("/", std::nullopt); }), Failure::notInsideAppBundle());
    EXPECT_EQ(locatorFailure([] { RecorderAppLocator::containing("/vantor", std::nullopt); }), Failure::notInsideAppBundle());
}

TEST_F(RecorderAppLocatorTests, EmbeddedIdentityWinsWithoutOpeningTheBundle) {
    // No Info.plist on disk at all: the embedded dictionary is enough.
    const auto executable = directory.path() / "Lumora.app/Contents/Helpers/Quillon";
    const auto locator = RecorderAppLocator::containing(
        executable, nlohmann::json{{"RecorderAppBundleIdentifier", debug}, {"RecorderAppGroup", "K9WQ2ZP4LM.recorder"}});
    EXPECT_EQ(locator, RecorderAppLocator(directory.path() / "Lumora.app", debug, "K9WQ2ZP4LM.recorder"));
}

TEST_F(RecorderAppLocatorTests, EmbeddedUnknownIdentifierIsUnexpectedEvenInsideABundle) {
    testing::makeBundle(directory.path(), "Lumora", {{"CFBundleIdentifier", release}});
    const auto executable = directory.path() / "Lumora.app/Contents/Helpers/Quillon";
    EXPECT_EQ(locatorFailure([&] {
                  RecorderAppLocator::containing(executable, nlohmann::json{{"RecorderAppBundleIdentifier", "com.example.other"}});
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
    testing::makeBundle(directory.path(), "Lumora", {{"CFBundleIdentifier", debug}});
    const auto executable = directory.path() / "Lumora.app/Contents/Helpers/vantor";
    for (const std::optional<nlohmann::json>& embedded :
         {std::optional<nlohmann::json>{}, std::optional<nlohmann::json>{nlohmann::json::object()},
          std::optional<nlohmann::json>{nlohmann::json{{"RecorderAppBundleIdentifier", 7}}}}) {
        EXPECT_EQ(RecorderAppLocator::containing(executable, embedded).bundleIdentifier(), debug);
    }
}

class ForBundleFormats : public RecorderAppLocatorTests, public ::testing::WithParamInterface<PlistFormat> {};

TEST_P(ForBundleFormats, ReadsIdentifierAndGroup) {
    const auto bundle = testing::makeBundle(directory.path(), "Lumora",
                                            {{"CFBundleIdentifier", release}, {"RecorderAppGroup", "K9WQ2ZP4LM.recorder"}},
                                            std::nullopt, GetParam());
    EXPECT_EQ(RecorderAppLocator::forBundle(bundle), RecorderAppLocator(bundle, release, "K9WQ2ZP4LM.recorder"));

    const auto badGroup = testing::makeBundle(directory.path(), "Other",
                                              {{"CFBundleIdentifier", debug}, {"RecorderAppGroup", "K9WQ2ZP4L.recorder"}},
                                              std::nullopt, GetParam());
    EXPECT_EQ(RecorderAppLocator::forBundle(badGroup), RecorderAppLocator(badGroup, debug, std::nullopt));

    const auto foreign = testing::makeBundle(directory.path(), "Foreign", {{"CFBundleIdentifier", "com.example.viewer"}},
                                             std::nullopt, GetParam());
    EXPECT_EQ(locatorFailure([&] { RecorderAppLocator::forBundle(foreign); }), Failure::unexpectedBundle("com.example.viewer"));
}

INSTANTIATE_TEST_SUITE_P(RecorderAppLocatorTests, ForBundleFormats, ::testing::Values(PlistFormat::xml, PlistFormat::binary));

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

// Locators of temporary bundles holding the test app; what the app does is chosen per bundle.
class EnsureRunningTests : public RecorderAppLocatorTests {
protected:
    RecorderAppLocator bundleWith(const std::string& behaviour, const std::string& name = "Lumora") {
        const auto bundle = testing::makeBundle(
            directory.path(), name,
            {{"CFBundleIdentifier", release}, {"CFBundleExecutable", name}, {"TestBehaviour", behaviour}},
            fs::path(LUMORA_TEST_APP));
        return RecorderAppLocator::forBundle(bundle);
    }
    std::size_t instancesUnderTest() const {
        std::size_t count = 0;
        for (const auto& app : platform::runningApplications(release)) {
            if (app.bundleURL && app.bundleURL->string().rfind(directory.path().string(), 0) == 0) ++count;
        }
        return count;
    }
    void waitUntilRunning(const RecorderAppLocator& locator) {
        for (int i = 0; i < 300 && !locator.isRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(locator.isRunning());
    }
    void TearDown() override { testing::stopApplicationsUnder(directory.path(), release); }
};

TEST_F(EnsureRunningTests, IsRunningCountsOnlyThisCopy) {
    const auto locator = bundleWith("sleep");
    const auto elsewhere = bundleWith("sleep", "Copy");
    EXPECT_FALSE(locator.isRunning());
    locator.launch();
    waitUntilRunning(locator);
    EXPECT_FALSE(elsewhere.isRunning()) << "another copy with the same identifier does not count";

    // The same bundle named through a symbolic link, or with a trailing separator, is this copy.
    fs::create_directory_symlink(locator.appURL(), directory.path() / "Link.app");
    EXPECT_TRUE(RecorderAppLocator(directory.path() / "Link.app", release, std::nullopt).isRunning());
    EXPECT_TRUE(RecorderAppLocator(locator.appURL().string() + "/", release, std::nullopt).isRunning());
}

TEST_F(EnsureRunningTests, AnsweringSocketIsUsedWithoutLaunch) {
    // The bundle has no executable: a launch would fail.
    const auto bundle = testing::makeBundle(directory.path(), "Lumora", {{"CFBundleIdentifier", release}});
    const auto locator = RecorderAppLocator::forBundle(bundle);
    locator.endpoint().prepareDirectory();
    testing::TestListener listener(locator.endpoint().path(), [](int) {});
    const auto start = Clock::now();
    const auto client = locator.ensureRunning(5);
    EXPECT_LT(secondsSince(start), 1.0);
    EXPECT_EQ(client.endpoint(), locator.endpoint());
    EXPECT_EQ(client.timeout(), 10.0);
}

TEST_F(EnsureRunningTests, LaunchesAppThatOpensItsSocket) {
    const auto locator = bundleWith("listen");
    const auto client = locator.ensureRunning(10);
    EXPECT_TRUE(client.isReachable());
    EXPECT_EQ(instancesUnderTest(), 1u);
}

TEST_F(EnsureRunningTests, AppThatExitsAtOnceFailsAfterAboutThreeSeconds) {
    const auto locator = bundleWith("exit");
    const auto start = Clock::now();
    EXPECT_EQ(locatorFailure([&] { locator.ensureRunning(15); }), Failure::launchFailed("The app did not start."));
    EXPECT_GE(secondsSince(start), 3.0);
    EXPECT_LT(secondsSince(start), 4.5);
}

TEST_F(EnsureRunningTests, GoneAppBeforeThreeSecondsIsNotReachableAtTheDeadline) {
    const auto locator = bundleWith("exit");
    const auto start = Clock::now();
    EXPECT_EQ(locatorFailure([&] { locator.ensureRunning(0.6); }), Failure::notReachable());
    EXPECT_LT(secondsSince(start), 2.0);
}

TEST_F(EnsureRunningTests, AppThatNeverOpensItsSocketIsRunningButUnreachable) {
    const auto locator = bundleWith("sleep");
    const auto start = Clock::now();
    EXPECT_EQ(locatorFailure([&] { locator.ensureRunning(1.0); }), Failure::runningButUnreachable());
    EXPECT_GE(secondsSince(start), 1.0);
    EXPECT_LT(secondsSince(start), 3.0);
}

TEST_F(EnsureRunningTests, RunningCopyWithoutSocketIsNotLaunchedAgain) {
    const auto locator = bundleWith("sleep");
    locator.launch();
    waitUntilRunning(locator);
    const auto start = Clock::now();
    EXPECT_EQ(locatorFailure([&] { locator.ensureRunning(10); }), Failure::runningButUnreachable());
    EXPECT_LT(secondsSince(start), 1.5) << "no wait after the probe";
    EXPECT_EQ(instancesUnderTest(), 1u);
}

TEST_F(EnsureRunningTests, LaunchErrorIsLaunchFailedWithTheReason) {
    const auto bundle = testing::makeBundle(directory.path(), "Lumora", {{"CFBundleIdentifier", release}, {"CFBundleExecutable", "Lumora"}});
    const auto failure = locatorFailure([&] { RecorderAppLocator::forBundle(bundle).ensureRunning(5); });
    ASSERT_TRUE(failure.is<RecorderAppLocator::LaunchFailed>());
    EXPECT_NE(failure.as<RecorderAppLocator::LaunchFailed>()->reason.find("No such file or directory"), std::string::npos)
        << failure.description();
}

TEST_F(EnsureRunningTests, CancellationEndsThePolling) {
    const auto locator = bundleWith("sleep");
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
