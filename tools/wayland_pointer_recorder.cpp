// wayland-pointer-recorder: covers every output with a full-screen window and
// prints, one line each, the outputs' logical geometry and every pointer
// event in global logical coordinates, as a real client sees them:
//   output NAME X Y W H | ready | enter X Y | motion X Y | leave | button CODE STATE
#include "xdg-output-unstable-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <list>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

namespace {

struct Output {
    uint32_t global = 0;
    wl_output *wl = nullptr;
    zxdg_output_v1 *xdg = nullptr;
    std::string name;
    int x = 0, y = 0, w = 0, h = 0;
    std::string printed;
    wl_surface *surface = nullptr;
    xdg_surface *xdgSurface = nullptr;
    xdg_toplevel *toplevel = nullptr;
    wl_buffer *buffer = nullptr;
    int width = 0, height = 0;        // asked for by the last toplevel configure
    bool committed = false;
};

struct State {
    wl_display *display = nullptr;
    wl_compositor *compositor = nullptr;
    wl_shm *shm = nullptr;
    xdg_wm_base *wmBase = nullptr;
    wl_seat *seat = nullptr;
    wl_pointer *pointer = nullptr;
    zxdg_output_manager_v1 *outputManager = nullptr;
    std::list<Output> outputs;
    Output *under = nullptr;          // the output whose surface has the pointer
    bool bound = false;               // the globals needed are there
    bool ready = false;
} state;

Output &at(void *data)
{
    return *static_cast<Output *>(data);
}

void printOutput(Output &o)
{
    if (o.name.empty() || o.w <= 0)
        return;
    char line[256];
    std::snprintf(line, sizeof line, "output %s %d %d %d %d", o.name.c_str(), o.x, o.y, o.w, o.h);
    if (o.printed != line)
        std::printf("%s\n", line);
    o.printed = line;
}

void printPoint(const char *what, wl_fixed_t sx, wl_fixed_t sy)
{
    if (state.under)
        std::printf("%s %.6g %.6g\n", what, state.under->x + wl_fixed_to_double(sx),
                    state.under->y + wl_fixed_to_double(sy));
}

// A shm buffer of the size asked for (the output's logical size when the
// compositor leaves it to us), filled grey.
wl_buffer *makeBuffer(int width, int height)
{
    const int stride = width * 4, size = stride * height;
    const int fd = ::memfd_create("recorder", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, size) != 0)
        return nullptr;
    if (void *pixels = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0); pixels != MAP_FAILED) {
        std::memset(pixels, 0x40, size);
        ::munmap(pixels, size);
    }
    wl_shm_pool *pool = wl_shm_create_pool(state.shm, fd, size);
    wl_buffer *buffer = wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    ::close(fd);
    return buffer;
}

void syncDone(void *, wl_callback *callback, uint32_t)
{
    wl_callback_destroy(callback);
    for (const auto &o : state.outputs)
        if (!o.committed)
            return;
    if (!state.ready)
        std::printf("ready\n");
    state.ready = true;
}
const wl_callback_listener syncListener = {syncDone};

void surfaceConfigure(void *data, xdg_surface *surface, uint32_t serial)
{
    auto &o = at(data);
    xdg_surface_ack_configure(surface, serial);
    wl_buffer *old = o.buffer;
    o.buffer = makeBuffer(o.width > 0 ? o.width : std::max(o.w, 1), o.height > 0 ? o.height : std::max(o.h, 1));
    wl_surface_attach(o.surface, o.buffer, 0, 0);
    wl_surface_damage(o.surface, 0, 0, INT32_MAX, INT32_MAX);
    wl_surface_commit(o.surface);
    if (old)
        wl_buffer_destroy(old);
    o.committed = true;
    if (!state.ready)
        wl_callback_add_listener(wl_display_sync(state.display), &syncListener, nullptr);
}
const xdg_surface_listener surfaceListener = {surfaceConfigure};

const xdg_toplevel_listener toplevelListener = {
    [](void *data, xdg_toplevel *, int32_t width, int32_t height, wl_array *) {
        at(data).width = width, at(data).height = height;
    },
    [](void *, xdg_toplevel *) {},
    nullptr, // never sent at the versions bound
    nullptr,
};

const wl_pointer_listener pointerListener = {
    [](void *, wl_pointer *, uint32_t, wl_surface *surface, wl_fixed_t sx, wl_fixed_t sy) {
        state.under = surface ? &at(wl_surface_get_user_data(surface)) : nullptr;
        printPoint("enter", sx, sy);
    },
    [](void *, wl_pointer *, uint32_t, wl_surface *) {
        state.under = nullptr;
        std::printf("leave\n");
    },
    [](void *, wl_pointer *, uint32_t, wl_fixed_t sx, wl_fixed_t sy) { printPoint("motion", sx, sy); },
    [](void *, wl_pointer *, uint32_t, uint32_t, uint32_t button, uint32_t pressed) {
        std::printf("button %u %u\n", button, pressed);
    },
    [](void *, wl_pointer *, uint32_t, uint32_t, wl_fixed_t) {},
    [](void *, wl_pointer *) {},
    [](void *, wl_pointer *, uint32_t) {},
    [](void *, wl_pointer *, uint32_t, uint32_t) {},
    [](void *, wl_pointer *, uint32_t, int32_t) {},
    nullptr,
};

// The pointer comes and goes with the seat's devices (a virtual pointer).
const wl_seat_listener seatListener = {
    [](void *, wl_seat *seat, uint32_t caps) {
        const bool has = caps & WL_SEAT_CAPABILITY_POINTER;
        if (has && !state.pointer) {
            state.pointer = wl_seat_get_pointer(seat);
            wl_pointer_add_listener(state.pointer, &pointerListener, nullptr);
        } else if (!has && state.pointer) {
            wl_pointer_release(state.pointer);
            state.pointer = nullptr;
            state.under = nullptr;
        }
    },
    [](void *, wl_seat *, const char *) {},
};

const zxdg_output_v1_listener xdgOutputListener = {
    [](void *data, zxdg_output_v1 *, int32_t x, int32_t y) { at(data).x = x, at(data).y = y; },
    [](void *data, zxdg_output_v1 *, int32_t w, int32_t h) { at(data).w = w, at(data).h = h; },
    [](void *data, zxdg_output_v1 *) { printOutput(at(data)); },
    [](void *data, zxdg_output_v1 *, const char *name) { at(data).name = name; },
    [](void *, zxdg_output_v1 *, const char *) {},
};

const wl_output_listener outputListener = {
    [](void *, wl_output *, int32_t, int32_t, int32_t, int32_t, int32_t, const char *, const char *, int32_t) {},
    [](void *, wl_output *, uint32_t, int32_t, int32_t, int32_t) {},
    [](void *data, wl_output *) { printOutput(at(data)); },
    [](void *, wl_output *, int32_t) {},
    [](void *, wl_output *, const char *) {},
    [](void *, wl_output *, const char *) {},
};

const xdg_wm_base_listener wmBaseListener = {[](void *, xdg_wm_base *base, uint32_t serial) {
    xdg_wm_base_pong(base, serial);
}};

// An xdg-output and a full-screen window for each output.
void cover(Output &o)
{
    o.xdg = zxdg_output_manager_v1_get_xdg_output(state.outputManager, o.wl);
    zxdg_output_v1_add_listener(o.xdg, &xdgOutputListener, &o);
    o.surface = wl_compositor_create_surface(state.compositor);
    wl_surface_set_user_data(o.surface, &o);
    o.xdgSurface = xdg_wm_base_get_xdg_surface(state.wmBase, o.surface);
    xdg_surface_add_listener(o.xdgSurface, &surfaceListener, &o);
    o.toplevel = xdg_surface_get_toplevel(o.xdgSurface);
    xdg_toplevel_add_listener(o.toplevel, &toplevelListener, &o);
    xdg_toplevel_set_title(o.toplevel, ("wayland-pointer-recorder " + std::to_string(o.global)).c_str());
    xdg_toplevel_set_fullscreen(o.toplevel, o.wl);
    wl_surface_commit(o.surface);
}

template <typename T>
T *bind(wl_registry *registry, uint32_t name, const wl_interface &interface, uint32_t have, uint32_t want)
{
    return static_cast<T *>(wl_registry_bind(registry, name, &interface, have < want ? have : want));
}

void onGlobal(void *, wl_registry *registry, uint32_t name, const char *interface, uint32_t version)
{
    const std::string is = interface;
    if (is == wl_compositor_interface.name)
        state.compositor = bind<wl_compositor>(registry, name, wl_compositor_interface, version, 4);
    else if (is == wl_shm_interface.name)
        state.shm = bind<wl_shm>(registry, name, wl_shm_interface, version, 1);
    else if (is == xdg_wm_base_interface.name) {
        state.wmBase = bind<xdg_wm_base>(registry, name, xdg_wm_base_interface, version, 2);
        xdg_wm_base_add_listener(state.wmBase, &wmBaseListener, nullptr);
    } else if (is == wl_seat_interface.name && !state.seat) {
        state.seat = bind<wl_seat>(registry, name, wl_seat_interface, version, 5);
        wl_seat_add_listener(state.seat, &seatListener, nullptr);
    } else if (is == zxdg_output_manager_v1_interface.name)
        state.outputManager = bind<zxdg_output_manager_v1>(registry, name, zxdg_output_manager_v1_interface, version, 3);
    else if (is == wl_output_interface.name) {
        auto &o = state.outputs.emplace_back();
        o.global = name;
        o.wl = bind<wl_output>(registry, name, wl_output_interface, version, 4);
        wl_output_add_listener(o.wl, &outputListener, &o);
        if (state.bound)
            cover(o);
    }
}

// sway 1.7 cannot take a headless output away, so an output that goes is not followed.
const wl_registry_listener registryListener = {onGlobal, [](void *, wl_registry *, uint32_t) {}};

} // namespace

int main()
{
    // Each line goes out whole at once, so a stop loses nothing.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    for (int stop : {SIGTERM, SIGINT})
        std::signal(stop, [](int) { ::_exit(0); });
    state.display = wl_display_connect(nullptr);
    if (state.display) {
        wl_registry_add_listener(wl_display_get_registry(state.display), &registryListener, nullptr);
        wl_display_roundtrip(state.display);
    }
    if (!state.compositor || !state.shm || !state.wmBase || !state.outputManager) {
        std::fprintf(stderr, "wayland-pointer-recorder: no compositor, or one without xdg-shell and xdg-output\n");
        return 1;
    }
    state.bound = true;
    for (auto &o : state.outputs)
        cover(o);
    while (wl_display_dispatch(state.display) >= 0) {
    }
    // The compositor going away ends the recording; a protocol error is ours.
    const int error = wl_display_get_error(state.display);
    if (error == EPROTO)
        std::fprintf(stderr, "wayland-pointer-recorder: protocol error\n");
    return error == EPROTO ? 1 : 0;
}
