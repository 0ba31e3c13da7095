// A pointer for a compositor that has none (sway headless), through the wlroots virtual pointer
// protocol: the compositor moves its cursor and sends the button events to the window beneath, as
// for a mouse. Reads commands from standard input until it ends:
//   move X Y      (screen pixels)     press      release
// Answers each with "ok" once the compositor has handled it.
#include <wayland-client.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The protocol's two interfaces, written out as wayland-scanner would generate them.
extern const wl_interface kVirtualPointer;
const wl_interface* kManagerCreateTypes[] = {&wl_seat_interface, &kVirtualPointer};
const wl_interface* kNoTypes[] = {nullptr, nullptr, nullptr, nullptr, nullptr};
const wl_message kManagerRequests[] = {
    {"create_virtual_pointer", "?on", kManagerCreateTypes},
    {"destroy", "", kNoTypes},
};
const wl_interface kManager = {"zwlr_virtual_pointer_manager_v1", 1, 2, kManagerRequests, 0, nullptr};
const wl_message kPointerRequests[] = {
    {"motion", "uff", kNoTypes},   {"motion_absolute", "uuuuu", kNoTypes},
    {"button", "uuu", kNoTypes},   {"axis", "uuf", kNoTypes},
    {"frame", "", kNoTypes},       {"axis_source", "u", kNoTypes},
    {"axis_stop", "uu", kNoTypes}, {"axis_discrete", "uufi", kNoTypes},
    {"destroy", "", kNoTypes},
};
const wl_interface kVirtualPointer = {"zwlr_virtual_pointer_v1", 1, 9, kPointerRequests, 0, nullptr};

enum {
    kMotionAbsolute = 1,
    kButton = 2,
    kFrame = 4,
};
const uint32_t kLeftButton = 0x110; // BTN_LEFT

wl_seat* g_pSeat = nullptr;
wl_proxy* g_pManager = nullptr;

void Global(void*, wl_registry* _pRegistry, uint32_t _nName, const char* _pInterface, uint32_t)
{
    if (std::strcmp(_pInterface, wl_seat_interface.name) == 0 && !g_pSeat)
        g_pSeat = static_cast<wl_seat*>(wl_registry_bind(_pRegistry, _nName, &wl_seat_interface, 1));
    else if (std::strcmp(_pInterface, kManager.name) == 0)
        g_pManager = static_cast<wl_proxy*>(wl_registry_bind(_pRegistry, _nName, &kManager, 1));
}

void GlobalRemove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener kRegistryListener = {Global, GlobalRemove};

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: virtual_pointer WIDTH HEIGHT\n");
        return 2;
    }
    const uint32_t width = static_cast<uint32_t>(std::stoul(argv[1]));
    const uint32_t height = static_cast<uint32_t>(std::stoul(argv[2]));
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "virtual_pointer: no Wayland display\n");
        return 1;
    }
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &kRegistryListener, nullptr);
    wl_display_roundtrip(display);
    if (!g_pSeat || !g_pManager) {
        std::fprintf(stderr, "virtual_pointer: the compositor offers no virtual pointer\n");
        return 1;
    }
    wl_proxy* pointer = wl_proxy_marshal_constructor(g_pManager, 0, &kVirtualPointer, g_pSeat, nullptr);
    wl_display_roundtrip(display);
    std::printf("ready\n");
    std::fflush(stdout);
    uint32_t time = 0;
    char line[128];
    while (std::fgets(line, sizeof line, stdin)) {
        unsigned x = 0, y = 0;
        time += 10;
        if (std::sscanf(line, "move %u %u", &x, &y) == 2)
            wl_proxy_marshal(pointer, kMotionAbsolute, time, x, y, width, height);
        else if (std::strncmp(line, "press", 5) == 0)
            wl_proxy_marshal(pointer, kButton, time, kLeftButton, uint32_t(WL_POINTER_BUTTON_STATE_PRESSED));
        else if (std::strncmp(line, "release", 7) == 0)
            wl_proxy_marshal(pointer, kButton, time, kLeftButton, uint32_t(WL_POINTER_BUTTON_STATE_RELEASED));
        else
            continue;
        wl_proxy_marshal(pointer, kFrame);
        if (wl_display_roundtrip(display) < 0)
            return 1;
        std::printf("ok\n");
        std::fflush(stdout);
    }
    wl_display_disconnect(display);
    return 0;
}
