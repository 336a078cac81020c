// Arbitrary input lines through a whole MCPServer, over a transport double that records what is
// written. Every line gets at most one reply line: a line that does not parse gets the -32700
// reply, a request or an invalid message exactly one reply carrying its id, a batch one array
// holding a reply per request and invalid element, anything else nothing.

#include <cstdint>
#include <set>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "QuillonServer/JSON.h"
#include "QuillonServer/JSONRPCMessage.h"
#include "QuillonServer/MCPServer.h"
#include "QuillonServer/MCPTool.h"
#include "QuillonServer/MCPToolHandler.h"
#include "QuillonServer/MCPToolResult.h"
#include "QuillonServer/MCPTransport.h"
#include "fuzz/FuzzCheck.h"

namespace {

using namespace mcp;

class RecordingTransport final : public MCPTransport {
public:
    explicit RecordingTransport(std::vector<std::string> lines) : lines_(std::move(lines)) {}

    MCPLineStream lines() override {
        MCPLineStream stream;
        for (auto& line : lines_) stream.yield(line);
        stream.finish();
        return stream;
    }
    void write(std::string_view message) override {
        std::lock_guard lock(mutex_);
        written_.emplace_back(message);
    }
    std::vector<std::string> written() {
        std::lock_guard lock(mutex_);
        return written_;
    }

private:
    std::vector<std::string> lines_;
    std::mutex mutex_;
    std::vector<std::string> written_;
};

// Answers at once with the arguments it was given, and sooner when cancelled.
class EchoTool final : public MCPToolHandler {
public:
    MCPToolResult callTool(const std::string&, const JSON& arguments, const MCPRequestContext& context) override {
        if (context.cancellation().stop_requested()) return {"cancelled", true};
        return {arguments.serialized(), false};
    }
};

// The serialized id, or "" for an id that has no JSON text (its reply is dropped).
std::string idText(const JSON& id) {
    try {
        return id.serialized();
    } catch (const std::exception&) {
        return "";
    }
}

bool repliesToOne(const JSONRPCMessage& message) {
    return std::holds_alternative<JSONRPCMessage::Request>(message.kind) ||
           std::holds_alternative<JSONRPCMessage::Invalid>(message.kind);
}

JSON idOf(const JSONRPCMessage& message) {
    if (auto request = std::get_if<JSONRPCMessage::Request>(&message.kind)) return request->id;
    return std::get<JSONRPCMessage::Invalid>(message.kind).id;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < bytes.size() && lines.size() < 64;) {
        auto end = bytes.find('\n', start);
        if (end == std::string_view::npos) end = bytes.size();
        if (end > start) lines.emplace_back(bytes.substr(start, end - start));
        start = end + 1;
    }

    // What each line must produce, worked out from the classification alone.
    std::multiset<std::string> expectedIDs;         // replies to single messages, by id
    std::multiset<std::size_t> expectedBatchSizes;  // batch replies, by element count
    for (const auto& line : lines) {
        JSON value;
        try {
            value = JSON::parse(line);
        } catch (const JSON::ParseFailure&) {
            expectedIDs.insert("null");
            continue;
        }
        if (auto batch = value.arrayValue()) {
            std::size_t replies = 0;
            for (const auto& element : *batch) replies += repliesToOne(JSONRPCMessage(element)) ? 1 : 0;
            if (replies > 0) expectedBatchSizes.insert(replies);
            continue;
        }
        JSONRPCMessage message(value);
        if (auto request = std::get_if<JSONRPCMessage::Request>(&message.kind)) FUZZ_CHECK(!request->id.isNull());
        if (repliesToOne(message)) expectedIDs.insert(idText(idOf(message)));
    }

    auto transport = std::make_shared<RecordingTransport>(lines);
    {
        MCPServer server({"fuzz", "1.0", std::nullopt},
                         {MCPTool{"echo", "Echoes its arguments.", JSON::object({{"type", "object"}}), std::nullopt}},
                         std::make_shared<EchoTool>(), transport);
        server.serve();
    }

    const auto written = transport->written();
    FUZZ_CHECK(written.size() <= lines.size());
    std::multiset<std::string> ids;
    std::multiset<std::size_t> batchSizes;
    for (const auto& reply : written) {
        FUZZ_CHECK(reply.find('\n') == std::string::npos);
        const JSON value = JSON::parse(reply);  // a reply is always valid JSON
        if (auto batch = value.arrayValue()) {
            FUZZ_CHECK(!batch->empty());
            for (const auto& element : *batch) FUZZ_CHECK(element["id"] != nullptr && element["jsonrpc"] != nullptr);
            batchSizes.insert(batch->size());
            continue;
        }
        const JSON* id = value["id"];
        FUZZ_CHECK(id != nullptr);
        FUZZ_CHECK(*value["jsonrpc"] == JSON("2.0"));
        FUZZ_CHECK((value["result"] != nullptr) != (value["error"] != nullptr));
        ids.insert(id->serialized());
    }
    // Ids without JSON text are answered with a reply that is dropped; all others must match.
    expectedIDs.erase("");
    FUZZ_CHECK(ids == expectedIDs);
    FUZZ_CHECK(batchSizes == expectedBatchSizes);
    return 0;
}
