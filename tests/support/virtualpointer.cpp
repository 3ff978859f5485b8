// A virtual pointer for a wlroots test desktop (tests/support/with-sway.sh), whose headless backend has none, so
// that windows get pointer events. It prints "ready" once the compositor has it, and keeps it until its standard
// input closes; lines there drive it, each answered with "done" once the compositor has it: "move DX DY" (Sway's
// seat command moves nothing while a button is held), "press", "release" (the left button).
#include <wayland-client.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The two interfaces of the wlroots virtual pointer protocol that are used, as wayland-scanner would describe
// them: the manager's first request makes a pointer; of the pointer's, the first five are sent.
enum PointerRequest { Motion = 0, Button = 2, Frame = 4 };
const wl_message pointerRequests[] = { { "motion", "uff", nullptr }, { "motion_absolute", "uuuuu", nullptr },
    { "button", "uuu", nullptr }, { "axis", "uuf", nullptr }, { "frame", "", nullptr } };
const wl_interface virtualPointerInterface = { "zwlr_virtual_pointer_v1", 1, 5, pointerRequests, 0, nullptr };
const wl_interface* createTypes[] = { &wl_seat_interface, &virtualPointerInterface };
const wl_message managerRequests[] = { { "create_virtual_pointer", "?on", createTypes } };
const wl_interface managerInterface = { "zwlr_virtual_pointer_manager_v1", 1, 1, managerRequests, 0, nullptr };

struct Globals {
    wl_seat* seat = nullptr;
    wl_proxy* manager = nullptr;
};

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t)
{
    auto* globals = static_cast<Globals*>(data);
    if (!globals->seat && std::strcmp(interface, wl_seat_interface.name) == 0)
        globals->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    else if (!globals->manager && std::strcmp(interface, managerInterface.name) == 0)
        globals->manager = static_cast<wl_proxy*>(wl_registry_bind(registry, name, &managerInterface, 1));
}

void onGlobalRemove(void*, wl_registry*, uint32_t) { }

} // namespace

int main()
{
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        std::fputs("virtualpointer: no Wayland display\n", stderr);
        return 1;
    }
    Globals globals;
    static const wl_registry_listener registryListener { &onGlobal, &onGlobalRemove };
    wl_registry_add_listener(wl_display_get_registry(display), &registryListener, &globals);
    if (wl_display_roundtrip(display) < 0 || !globals.seat || !globals.manager) {
        std::fputs("virtualpointer: the compositor has no virtual pointers\n", stderr);
        return 1;
    }
    wl_proxy* pointer
        = wl_proxy_marshal_flags(globals.manager, 0, &virtualPointerInterface, 1, 0, globals.seat, nullptr);
    if (wl_display_roundtrip(display) < 0)
        return 1;
    std::puts("ready");
    std::fflush(stdout);
    constexpr uint32_t leftButton = 0x110; // BTN_LEFT
    uint32_t time = 0;
    char line[128];
    while (std::fgets(line, sizeof line, stdin)) {
        double dx = 0;
        double dy = 0;
        const std::string command(line);
        if (std::sscanf(line, "move %lf %lf", &dx, &dy) == 2)
            wl_proxy_marshal_flags(
                pointer, Motion, nullptr, 1, 0, time += 10, wl_fixed_from_double(dx), wl_fixed_from_double(dy));
        else if (command == "press\n" || command == "release\n")
            wl_proxy_marshal_flags(
                pointer, Button, nullptr, 1, 0, time += 10, leftButton, command == "press\n" ? 1u : 0u);
        else
            continue;
        wl_proxy_marshal_flags(pointer, Frame, nullptr, 1, 0);
        if (wl_display_roundtrip(display) < 0)
            return 1;
        std::puts("done");
        std::fflush(stdout);
    }
    return 0;
}
