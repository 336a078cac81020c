// The text form every failure derives from its case's table: name alone, values in order,
// texts quoted, numbers in decimal, labels, nested failures and computed values.
#include "RecorderAutomation/Support/Failure.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "RecorderAutomation/Client/UnixSocket.h"
#include "RecorderAutomation/Server/AutomationSocketServer.h"

namespace {

using namespace recorder;

struct Inner : NamedCase<"inner"> {};
using InnerFailure = BasicFailure<struct InnerTag, Inner, SystemCall>;

struct Mixed {
    std::string path;
    std::int64_t size = 0;
    InnerFailure cause = Inner{};
    static constexpr auto failureCase() {
        return failure::form("mixed", failure::value(&Mixed::path), failure::labelled("size", &Mixed::size),
                             failure::value(&Mixed::cause),
                             failure::labelled("twice", [](const Mixed& m) { return m.size * 2; }));
    }
    bool operator==(const Mixed&) const = default;
};
using MixedFailure = BasicFailure<struct MixedTag, Mixed, Inner>;

TEST(FailureText, DerivedFromTheCaseTable) {
    EXPECT_EQ(MixedFailure(Inner{}).description(), "inner");
    EXPECT_EQ(MixedFailure(Mixed{"/a b", -3, SystemCall{"open", 2}}).description(),
              "mixed(\"/a b\", size: -3, systemCall(\"open\", 2), twice: -6)");
    EXPECT_EQ(MixedFailure(Mixed{"", 0}).description(), "mixed(\"\", size: 0, inner, twice: 0)");
    EXPECT_STREQ(MixedFailure(Mixed{"x", 1}).what(), "mixed(\"x\", size: 1, inner, twice: 2)");
}

TEST(FailureText, EqualityFollowsEveryMember) {
    EXPECT_EQ(MixedFailure(Mixed{"x", 1}), MixedFailure(Mixed{"x", 1}));
    EXPECT_NE(MixedFailure(Mixed{"x", 1}), MixedFailure(Mixed{"x", 2}));
    EXPECT_NE(MixedFailure(Mixed{"x", 1}), MixedFailure(Mixed{"x", 1, SystemCall{"open", 2}}));
    EXPECT_NE(MixedFailure(Mixed{"x", 1}), MixedFailure(Inner{}));
}

// One system-call case serves every component; the server's text names it "system".
TEST(FailureText, SharedSystemCallKeepsEachComponentsName) {
    const SystemCall call{"bind", 98};
    EXPECT_EQ(UnixSocket::Failure(call).description(), "systemCall(\"bind\", 98)");
    EXPECT_EQ(AutomationSocketServer::Failure::system(call.call, call.number).description(), "system(\"bind\", 98)");
    EXPECT_EQ(UnixSocket::Failure(call).as<SystemCall>()->call, "bind");
}

}  // namespace
