#include "RecorderAutomation/Protocol/PrettyJSON.h"

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

}  // namespace
}  // namespace recorder
