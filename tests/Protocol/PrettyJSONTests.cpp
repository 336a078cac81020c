#include "RecorderAutomation/Protocol/PrettyJSON.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace recorder {
namespace {

using nlohmann::json;

TEST(PrettyJSON, IndentsByTwoSortsKeysAndSpacesTheColon) {
    const json value = json::parse(R"({"path":"/a/b.mp4","nested":{"z":[1,2.5,"x"],"a":null},"ok":true})");
    EXPECT_EQ(PrettyJSON::write(value),
              "{\n"
              "  \"nested\" : {\n"
              "    \"a\" : null,\n"
              "    \"z\" : [\n"
              "      1,\n"
              "      2.5,\n"
              "      \"x\"\n"
              "    ]\n"
              "  },\n"
              "  \"ok\" : true,\n"
              "  \"path\" : \"/a/b.mp4\"\n"
              "}");
}

TEST(PrettyJSON, WritesEmptyContainersAndScalarsOnOneLine) {
    EXPECT_EQ(PrettyJSON::write(json::parse(R"({"a":[],"b":{}})")), "{\n  \"a\" : [],\n  \"b\" : {}\n}");
    EXPECT_EQ(PrettyJSON::write(json::array()), "[]");
    EXPECT_EQ(PrettyJSON::write(json::object()), "{}");
    EXPECT_EQ(PrettyJSON::write(json("t\"q")), "\"t\\\"q\"");
    EXPECT_EQ(PrettyJSON::write(json(-3)), "-3");
}

TEST(PrettyJSON, ReplacesInvalidUTF8InValuesAndKeys) {
    json value = json::object();
    value[std::string("k\xfe")] = std::string("v\xff");
    EXPECT_EQ(PrettyJSON::write(value), "{\n  \"k\xEF\xBF\xBD\" : \"v\xEF\xBF\xBD\"\n}");
    EXPECT_NO_THROW(json::parse(PrettyJSON::write(value)));
}

// Scalars and keys are written without the library's dump where they can be; the bytes must
// stay the dump's.
TEST(PrettyJSON, WritesScalarsAndKeysAsTheLibrarysCompactDump) {
    const json scalars[] = {json(""),
                            json("plain /text/"),
                            json("quote \" and \\"),
                            json("tab\tnew\nline\x01\x1f\x7f"),
                            json("caf\xC3\xA9 \xE2\x9C\x93"),
                            json("bad \xC3"),
                            json(true),
                            json(false),
                            json(nullptr),
                            json(0),
                            json(-1),
                            json(std::numeric_limits<std::int64_t>::min()),
                            json(std::numeric_limits<std::int64_t>::max()),
                            json(std::numeric_limits<std::uint64_t>::max()),
                            json(0.0),
                            json(-0.0),
                            json(1.5),
                            json(1e300),
                            json(5e-324),
                            json(0.1),
                            json(1234567.0),
                            json(std::nan("")),
                            json(std::numeric_limits<double>::infinity())};
    for (const auto& scalar : scalars) {
        const std::string dumped = scalar.dump(-1, ' ', false, json::error_handler_t::replace);
        EXPECT_EQ(PrettyJSON::write(scalar), dumped);
        if (scalar.is_string()) {
            EXPECT_EQ(PrettyJSON::write(json::object({{scalar.get<std::string>(), 1}})), "{\n  " + dumped + " : 1\n}");
        }
    }
}

}  // namespace
}  // namespace recorder
