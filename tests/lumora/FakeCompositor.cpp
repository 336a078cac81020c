#include "FakeCompositor.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <future>
#include <mutex>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>
#include <wayland-server.h>

namespace lumora::testing {

namespace {

struct Global {
    FakeCompositor::Output output;
    wl_global* global = nullptr;
    std::vector<wl_resource*> resources;
};

void sendState(wl_resource* resource, const FakeCompositor::Output& o) {
    const int version = wl_resource_get_version(resource);
    wl_output_send_geometry(resource, 0, 0, 0, 0, WL_OUTPUT_SUBPIXEL_UNKNOWN, "Fake", "Output", o.transform);
    wl_output_send_mode(resource, WL_OUTPUT_MODE_CURRENT, o.width, o.height, 60000);
    if (version >= WL_OUTPUT_SCALE_SINCE_VERSION) wl_output_send_scale(resource, o.scale);
    if (version >= WL_OUTPUT_NAME_SINCE_VERSION) wl_output_send_name(resource, o.name.c_str());
    if (version >= WL_OUTPUT_DESCRIPTION_SINCE_VERSION) wl_output_send_description(resource, o.description.c_str());
    if (version >= WL_OUTPUT_DONE_SINCE_VERSION) wl_output_send_done(resource);
}

void forgetResource(wl_resource* resource) {
    auto* g = static_cast<Global*>(wl_resource_get_user_data(resource));
    g->resources.erase(std::remove(g->resources.begin(), g->resources.end(), resource), g->resources.end());
}

void bindOutput(wl_client* client, void* data, uint32_t version, uint32_t id) {
    auto* g = static_cast<Global*>(data);
    wl_resource* resource = wl_resource_create(client, &wl_output_interface, int(std::min(version, 4u)), id);
    if (!resource) {
        wl_client_post_no_memory(client);
        return;
    }
    static const struct wl_output_interface requests = {[](wl_client*, wl_resource* r) { wl_resource_destroy(r); }};
    wl_resource_set_implementation(resource, &requests, g, forgetResource);
    g->resources.push_back(resource);
    sendState(resource, g->output);
}

}  // namespace

struct FakeCompositor::Loop {
    wl_display* display = nullptr;
    int wake = -1;
    wl_event_source* wakeSource = nullptr;
    std::mutex mutex;
    std::deque<std::packaged_task<void()>> tasks;
    bool stopping = false;
    int accepted = 0;
    wl_listener clientCreated{};
    std::vector<std::unique_ptr<Global>> globals;
    std::thread thread;

    static int onWake(int fd, uint32_t, void* data) {
        std::uint64_t count;
        [[maybe_unused]] const auto cleared = ::read(fd, &count, sizeof count);
        auto* loop = static_cast<Loop*>(data);
        std::deque<std::packaged_task<void()>> due;
        {
            std::lock_guard lock(loop->mutex);
            due.swap(loop->tasks);
        }
        for (auto& task : due) task();
        return 0;
    }

    void run() {
        wl_event_loop* events = wl_display_get_event_loop(display);
        while (!stopping) {
            wl_event_loop_dispatch(events, -1);
            wl_display_flush_clients(display);
        }
    }
};

FakeCompositor::FakeCompositor(std::filesystem::path socket) : socket_(std::move(socket)), loop_(new Loop) {
    loop_->display = wl_display_create();
    if (!loop_->display) throw std::runtime_error("wl_display_create failed");
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_.string().size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
    std::copy_n(socket_.c_str(), socket_.string().size(), address.sun_path);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0 || wl_display_add_socket_fd(loop_->display, fd) != 0)
        throw std::system_error(errno, std::generic_category(), "fake compositor socket " + socket_.string());
    loop_->clientCreated.notify = [](wl_listener* listener, void*) {
        Loop* loop = wl_container_of(listener, loop, clientCreated);
        ++loop->accepted;
    };
    wl_display_add_client_created_listener(loop_->display, &loop_->clientCreated);
    loop_->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    loop_->wakeSource = wl_event_loop_add_fd(wl_display_get_event_loop(loop_->display), loop_->wake, WL_EVENT_READABLE,
                                             Loop::onWake, loop_.get());
    loop_->thread = std::thread([loop = loop_.get()] { loop->run(); });
}

FakeCompositor::~FakeCompositor() {
    onLoop([this] { loop_->stopping = true; });
    loop_->thread.join();
    wl_event_source_remove(loop_->wakeSource);
    wl_display_destroy_clients(loop_->display);
    wl_display_destroy(loop_->display);  // closes the listening socket
    ::close(loop_->wake);
    std::error_code ignored;
    std::filesystem::remove(socket_, ignored);
}

void FakeCompositor::onLoop(std::function<void()> change) {
    std::packaged_task<void()> task(std::move(change));
    auto done = task.get_future();
    {
        std::lock_guard lock(loop_->mutex);
        loop_->tasks.push_back(std::move(task));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(loop_->wake, &one, sizeof one);
    done.get();
}

int FakeCompositor::plug(const Output& output) {
    int handle = -1;
    onLoop([&] {
        auto g = std::make_unique<Global>();
        g->output = output;
        g->global = wl_global_create(loop_->display, &wl_output_interface, 4, g.get(), bindOutput);
        handle = static_cast<int>(loop_->globals.size());
        loop_->globals.push_back(std::move(g));
    });
    return handle;
}

void FakeCompositor::resize(int handle, std::int32_t width, std::int32_t height) {
    onLoop([&] {
        auto& g = *loop_->globals.at(static_cast<std::size_t>(handle));
        g.output.width = width;
        g.output.height = height;
        for (auto* resource : g.resources) sendState(resource, g.output);
    });
}

void FakeCompositor::unplug(int handle) {
    onLoop([&] {
        auto& g = *loop_->globals.at(static_cast<std::size_t>(handle));
        if (g.global) wl_global_destroy(g.global);
        g.global = nullptr;
    });
}

int FakeCompositor::connectionsAccepted() {
    int accepted = 0;
    onLoop([&] { accepted = loop_->accepted; });
    return accepted;
}

}  // namespace lumora::testing
