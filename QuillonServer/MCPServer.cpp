#include "QuillonServer/MCPServer.h"

#include "QuillonServer/JSONRPCResponse.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <poll.h>
#include <stdexcept>
#include <sys/timerfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace mcp {
namespace {

JSON listing(const std::vector<MCPTool>& tools) {
    JSON::Array listed;
    listed.reserve(tools.size());
    for (const auto& tool : tools) listed.push_back(tool.listed());
    return JSON::object({{"tools", JSON(std::move(listed))}});
}

// A string, or an integer as its decimal text; anything else gives nothing.
std::optional<std::string> nameText(const JSON* value) {
    if (value && (value->isString() || value->isInt())) return value->stringValue();
    return std::nullopt;
}

bool nonEmptyObject(const std::optional<JSON>& params) {
    return params && params->objectValue() && !params->objectValue()->empty();
}

// params._meta.progressToken when it is a string or an integer.
std::optional<JSON> progressToken(const std::optional<JSON>& params) {
    if (!params) return std::nullopt;
    auto meta = (*params)["_meta"];
    auto token = meta ? (*meta)["progressToken"] : nullptr;
    if (token && (token->isString() || token->isInt())) return *token;
    return std::nullopt;
}

// Thrown, once a message is dealt with, when its reply has no JSON text: the reply is dropped.
struct Unwritable {};

// A value's text appended to `out`.
void writeValue(const JSON& value, std::string& out) {
    try {
        value.serialize(out);
    } catch (const std::domain_error&) {
        throw Unwritable{};
    }
}

std::string failureText(const JSON& id, const JSONRPCError& error) {
    std::string text;
    writeValue(JSONRPCResponse::failure(id, error), text);
    return text;
}

std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

MCPServer::MCPServer(Info info, std::vector<MCPTool> tools, std::shared_ptr<MCPToolHandler> handler,
                     std::shared_ptr<MCPTransport> transport)
    : MCPServer(std::move(info), Catalogue([tools = std::move(tools)] { return tools; }), std::move(handler),
                std::move(transport)) {}

MCPServer::MCPServer(Info info, Catalogue catalogue, std::shared_ptr<MCPToolHandler> handler,
                     std::shared_ptr<MCPTransport> transport)
    : info_(std::move(info)),
      catalogue_(std::move(catalogue.read)),
      handler_(std::move(handler)),
      transport_(std::move(transport)) {
    timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timer_ < 0) throw std::system_error(errno, std::generic_category(), "timerfd_create");
}

MCPServer::~MCPServer() {
    {
        std::lock_guard lock(mutex_);
        for (const auto& task : running_) task->cancel();
        endOfInput_ = true;  // a standby thread, if any, ends
        arm(std::chrono::nanoseconds(1));
    }
    pool_.waitIdle();
    ::close(timer_);
}

void MCPServer::readCatalogue() {
    std::call_once(catalogueRead_, [this] {
        tools_ = catalogue_();
        for (std::size_t i = 0; i < tools_.size(); ++i) toolIndex_.emplace(tools_[i].name, i);
        catalogue_ = nullptr;  // whatever it holds is not needed again
    });
}

void MCPServer::Task::close() {
    std::lock_guard lock(progress);
    open = false;
}

void MCPServer::Task::cancel() {
    // Closed first: once the cancellation is taken, no notification of this request follows.
    close();
    stop.request_stop();
}

std::string MCPServer::key(const JSON& id) {
    if (auto i = std::get_if<std::int64_t>(&id.value())) return "n:" + std::to_string(*i);
    if (auto d = std::get_if<double>(&id.value())) {
        char text[64];
        auto end = std::to_chars(text, text + sizeof text, *d).ptr;  // shortest round trip
        return "n:" + std::string(text, end);
    }
    if (auto s = std::get_if<std::string>(&id.value())) return "s:" + *s;
    try {
        return "other:" + id.serialized();
    } catch (const std::exception&) {
        return "other:?";
    }
}

void MCPServer::serve() {
    lead();
    // This thread may have handed reading over during a call; wait until whoever reads sees
    // the end. Then every request still running is cancelled (endOfInput) and awaited, including
    // those whose key a later request reused; each still writes its reply.
    {
        std::unique_lock lock(mutex_);
        ended_.wait(lock, [&] { return endOfInput_; });
    }
    pool_.waitIdle();
    std::lock_guard lock(mutex_);
    inFlight_.clear();
}

void MCPServer::lead() {
    while (auto line = transport_->nextLine())
        if (!receive(*line)) return;
    endOfInput();
}

void MCPServer::endOfInput() {
    std::lock_guard lock(mutex_);
    endOfInput_ = true;
    for (const auto& task : running_) task->cancel();
    arm(std::chrono::nanoseconds(1));  // wakes the standby thread, which then ends
    ended_.notify_all();
}

void MCPServer::arm(std::chrono::nanoseconds delay) {
    timerArmed_ = delay.count() > 0;
    itimerspec setting{};
    setting.it_value.tv_sec = static_cast<time_t>(delay.count() / 1'000'000'000);
    setting.it_value.tv_nsec = static_cast<long>(delay.count() % 1'000'000'000);
    ::timerfd_settime(timer_, 0, &setting, nullptr);  // cannot fail on our own valid descriptor
}

void MCPServer::standBy() {
    for (;;) {
        pollfd ready{timer_, POLLIN, 0};
        if (::poll(&ready, 1, -1) < 0 && errno != EINTR)
            std::this_thread::sleep_for(callHandOffDelay);  // never expected; do not spin
        std::uint64_t expirations;
        [[maybe_unused]] auto cleared = ::read(timer_, &expirations, sizeof expirations);
        std::unique_lock lock(mutex_);
        timerArmed_ = false;
        if (endOfInput_) {
            standby_ = false;
            return;
        }
        if (!leaderInCall_) continue;  // no call runs; the next one arms the timer again
        // The timer was armed for an earlier call: wait out the rest of this one's delay.
        auto lasted = std::chrono::steady_clock::now() - callBegan_;
        if (lasted < callHandOffDelay) {
            arm(callHandOffDelay - lasted);
            continue;
        }
        // The call outlasts the delay: read on in its place.
        leaderInCall_ = false;
        ++term_;
        standby_ = false;
        lock.unlock();
        lead();
        return;
    }
}

bool MCPServer::receive(std::string_view line) {
    JSON value;
    try {
        value = JSON::parse(line);
    } catch (const JSON::ParseFailure& failure) {
        write(failureText(JSON(), JSONRPCError::parseError(failure.what())));
        return true;
    }
    if (auto batch = value.arrayValue()) {
        // A batch runs inside the read loop, one request after another, and is not cancellable.
        // One reply without JSON text drops the whole batch's.
        std::string replies;
        bool writable = true;
        for (const auto& element : *batch) {
            JSONRPCMessage message(element);
            auto task =
                std::holds_alternative<JSONRPCMessage::Request>(message.kind) ? std::make_shared<Task>() : nullptr;
            if (task) task->progressToken = progressToken(std::get<JSONRPCMessage::Request>(message.kind).params);
            std::optional<std::string> reply;
            try {
                reply = handle(message, task);
            } catch (const Unwritable&) {
                writable = false;
            }
            if (task) task->close();
            if (!reply) continue;
            replies += replies.empty() ? '[' : ',';
            replies += *reply;
        }
        if (writable && !replies.empty()) write(replies + ']');
        return true;
    }
    JSONRPCMessage message(std::move(value));
    if (auto request = std::get_if<JSONRPCMessage::Request>(&message.kind)) return run(std::move(*request));
    try {
        if (auto reply = handle(message, nullptr)) write(*reply);
    } catch (const Unwritable&) {
    }
    return true;
}

bool MCPServer::run(JSONRPCMessage::Request request) {
    auto task = std::make_shared<Task>();
    task->progressToken = progressToken(request.params);
    std::string requestKey = key(request.id);
    // Only a tool call can take long; every other method is answered at once.
    const bool mayWait = request.method == "tools/call";
    std::uint64_t term = 0;
    {
        std::lock_guard lock(mutex_);
        auto [entry, inserted] = inFlight_.try_emplace(requestKey, task);
        if (!inserted) {
            entry->second->cancel();
            entry->second = task;
        }
        running_.insert(task);
        if (mayWait) {
            if (!standby_ && !endOfInput_) {
                // Only the first call, and the first after a take-over, start a standby thread.
                standby_ = true;
                pool_.submit([this] { standBy(); });
            }
            leaderInCall_ = true;
            callBegan_ = std::chrono::steady_clock::now();
            term = term_;
            // Armed once for a stream of short calls, not per call: arming a timer is a costly
            // system call. The standby thread checks, when it expires, how long the call that runs
            // then has lasted.
            if (!timerArmed_) arm(callHandOffDelay);
        }
    }
    JSONRPCMessage message(std::move(request));
    std::optional<std::string> reply;
    try {
        reply = handle(message, task);
    } catch (const Unwritable&) {
    }
    task->close();  // the last notification is written before the reply
    if (reply) write(*reply);
    std::lock_guard lock(mutex_);
    // Only its own entry: after an id was reused, the entry belongs to the later request, which
    // must stay findable by notifications/cancelled.
    if (auto entry = inFlight_.find(requestKey); entry != inFlight_.end() && entry->second == task)
        inFlight_.erase(entry);
    running_.erase(task);
    if (!mayWait) return true;
    if (leaderInCall_ && term_ == term) {
        leaderInCall_ = false;  // the timer stays armed; on expiry the standby finds no call and waits
        return true;
    }
    return false;  // the standby thread reads now
}

MCPRequestContext MCPServer::context(const std::shared_ptr<Task>& task) const {
    if (!task) return {};
    if (!task->progressToken) return MCPRequestContext(task->stop.get_token());
    // Holds the task and the transport, not the server: a report is only ever dropped.
    return MCPRequestContext(task->stop.get_token(), [task, transport = transport_](const MCPProgress& update) {
        if (!std::isfinite(update.progress) || (update.total && !std::isfinite(*update.total))) return;
        JSON::Object params;
        params.emplace("progressToken", *task->progressToken);
        params.emplace("progress", update.progress);
        if (update.total) params.emplace("total", *update.total);
        params.emplace("message", update.message);
        std::string text =
            JSON::object(
                {{"jsonrpc", "2.0"}, {"method", "notifications/progress"}, {"params", JSON(std::move(params))}})
                .serialized();
        std::lock_guard lock(task->progress);
        if (!task->open || task->stop.stop_requested()) return;
        if (task->lastProgress && !(update.progress > *task->lastProgress)) return;  // progress only grows
        task->lastProgress = update.progress;
        transport->write(text);
    });
}

std::optional<std::string> MCPServer::handle(const JSONRPCMessage& message, const std::shared_ptr<Task>& task) {
    return std::visit(
        [&](const auto& kind) -> std::optional<std::string> {
            using K = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<K, JSONRPCMessage::Request>) {
                // {"id":..,"jsonrpc":"2.0","result":..}: the keys in the order the value's text has.
                std::string reply = R"({"id":)";
                bool idWritable = true;
                try {
                    kind.id.serialize(reply);
                } catch (const std::domain_error&) {
                    idWritable = false;  // the request still runs; its reply is dropped
                }
                reply += R"(,"jsonrpc":"2.0","result":)";
                try {
                    respond(kind.method, kind.params, context(task), reply);
                } catch (const JSONRPCError& error) {
                    return failureText(kind.id, error);
                } catch (const Unwritable&) {
                    throw;
                } catch (...) {
                    return failureText(kind.id, JSONRPCError::internalError(describe(std::current_exception())));
                }
                if (!idWritable) throw Unwritable{};
                reply += '}';
                return reply;
            } else if constexpr (std::is_same_v<K, JSONRPCMessage::Notification>) {
                if (kind.method == "notifications/cancelled" && kind.params) {
                    if (auto requestID = (*kind.params)["requestId"]) {
                        std::lock_guard lock(mutex_);
                        if (auto entry = inFlight_.find(key(*requestID)); entry != inFlight_.end())
                            entry->second->cancel();
                    }
                }
                return std::nullopt;
            } else if constexpr (std::is_same_v<K, JSONRPCMessage::Invalid>) {
                return failureText(kind.id, kind.error);
            } else {
                return std::nullopt;
            }
        },
        message.kind);
}

void MCPServer::respond(const std::string& method, const std::optional<JSON>& params, const MCPRequestContext& context,
                        std::string& out) {
    if (method == "initialize") {
        std::string_view version = preferredProtocolVersion;
        if (nonEmptyObject(params)) {
            auto candidate = nameText((*params)["protocolVersion"]);
            if (candidate &&
                std::ranges::find(supportedProtocolVersions, *candidate) != supportedProtocolVersions.end())
                version = *std::ranges::find(supportedProtocolVersions, *candidate);
        }
        JSON::Object result;
        result.emplace("protocolVersion", version);
        result.emplace("capabilities", JSON::object({{"tools", JSON::object({{"listChanged", false}})}}));
        result.emplace("serverInfo", JSON::object({{"name", info_.name}, {"version", info_.version}}));
        if (info_.instructions) result.emplace("instructions", *info_.instructions);
        return writeValue(JSON(std::move(result)), out);
    }
    if (method == "ping") {
        out += "{}";
        return;
    }
    if (method == "tools/list") {
        // Built at the first listing, not at start-up: a host waits for the initialize reply first.
        readCatalogue();
        // Nothing is thrown out of call_once: the thread sanitizer's version of it lets no later
        // call through after one that threw.
        std::call_once(toolListBuilt_, [this] {
            try {
                listing(tools_).serialize(toolList_);
            } catch (const std::domain_error&) {
                toolList_.clear();  // a listing without JSON text: every listing's reply is dropped
            }
        });
        if (toolList_.empty()) throw Unwritable{};
        out += toolList_;
        return;
    }
    if (method == "tools/call") {
        std::optional<std::string> name;
        if (nonEmptyObject(params)) name = nameText((*params)["name"]);
        if (!name || name->empty()) throw JSONRPCError::invalidParams("tools/call requires a tool name");
        readCatalogue();
        if (!toolIndex_.contains(*name)) throw JSONRPCError::invalidParams("Unknown tool: " + *name);
        static const JSON noArguments{JSON::Object{}};
        static const JSON notAnObject;
        const JSON* arguments = &noArguments;
        if (auto given = (*params)["arguments"]) arguments = given->isObject() ? given : &notAnObject;
        return handler_->callTool(*name, *arguments, context).writePayload(out);
    }
    throw JSONRPCError::methodNotFound(method);
}

void MCPServer::write(const std::string& reply) { transport_->write(reply); }

}  // namespace mcp
