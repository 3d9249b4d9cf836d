// A host at the level of the window's descriptor, on the display in $DISPLAY: the window is made
// inside a parent of ours, every port is sent values no plugin should report (not a number,
// infinities, far out of range) and shown by the window after each round, and without a parent
// the window declines. The test command runs it under xvfb-run.
//   grindlet-lv2-ui-host BUNDLE_FOLDER
#include <dlfcn.h>
#include <lv2/ui/ui.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "dsp/controls.h"

// After the table: Xlib's macros (None, Bool) would rename its words.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

// The ports of the stereo plugin: four audio, the controls, the bypass, two meters.
constexpr uint32_t PORT_COUNT = 4 + uint32_t(grindlet::dsp::CONTROL_COUNT) + 3;

struct Written {
    uint32_t port;
    float value;
};
std::vector<Written> written;

void write(LV2UI_Controller, uint32_t port, uint32_t size, uint32_t format, const void* buffer) {
    if (format == 0 && size == sizeof(float))
        written.push_back({port, *static_cast<const float*>(buffer)});
}

// A strip of the window's pixels as one number (FNV-1a over its bytes): the first row of
// knobs' values at 100 %, where each value sent reads differently. 0 while it cannot be read
// (not yet mapped: Xlib's error is taken here rather than ending the program).
bool readFailed = false;
int noteError(Display*, XErrorEvent*) {
    readFailed = true;
    return 0;
}
uint64_t pixelsOf(Display* display, Window window) {
    constexpr int TOP = 290, WIDTH = 960, HEIGHT = 40;
    readFailed = false;
    XImage* image = XGetImage(display, window, 0, TOP, WIDTH, HEIGHT, AllPlanes, ZPixmap);
    XSync(display, False);
    if (image == nullptr || readFailed) return 0;
    uint64_t hash = 14695981039346656037ull;
    for (int i = 0; i < image->bytes_per_line * image->height; ++i)
        hash = (hash ^ uint8_t(image->data[i])) * 1099511628211ull;
    XDestroyImage(image);
    return hash;
}

int fail(const char* what) {
    std::fprintf(stderr, "grindlet-lv2-ui-host: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return fail("usage: grindlet-lv2-ui-host BUNDLE_FOLDER");
    const std::string bundle = std::string(argv[1]) + "/";
    void* library = dlopen((bundle + "qz-grindlet-ui.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return fail(dlerror());
    auto descriptorOf =
        reinterpret_cast<const LV2UI_Descriptor* (*)(uint32_t)>(dlsym(library, "lv2ui_descriptor"));
    const LV2UI_Descriptor* descriptor = descriptorOf != nullptr ? descriptorOf(0) : nullptr;
    if (descriptor == nullptr) return fail("no lv2ui_descriptor(0)");
    const auto* idle =
        static_cast<const LV2UI_Idle_Interface*>(descriptor->extension_data(LV2_UI__idleInterface));
    if (idle == nullptr) return fail("no idle interface");

    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return fail("cannot open the display");
    const Window parent =
        XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 960, 560, 0, 0, 0);
    XMapWindow(display, parent);
    XFlush(display);

    LV2UI_Widget widget = nullptr;
    const LV2_Feature* none[] = {nullptr};
    if (descriptor->instantiate(descriptor, "urn:qz-grindlet:stereo", bundle.c_str(), write,
                                nullptr, &widget, none) != nullptr)
        return fail("the window was made without a parent to go in");

    LV2_Feature parentFeature = {LV2_UI__parent, reinterpret_cast<void*>(uintptr_t(parent))};
    const LV2_Feature* features[] = {&parentFeature, nullptr};
    LV2UI_Handle ui = descriptor->instantiate(descriptor, "urn:qz-grindlet:stereo", bundle.c_str(),
                                              write, nullptr, &widget, features);
    if (ui == nullptr || widget == nullptr) return fail("the window was not made");

    // Every port (and two past the last) given each value, then the host's idle calls until the
    // window shows it: its pixels change, as each value reads differently on the knobs. (The
    // window draws at most 30 times a second; the bound on the calls only stops a hang.)
    const float hostile[] = {NAN, INFINITY, -INFINITY, 1e30f, -1e30f, -0.0f, 3.5f};
    const auto window = Window(reinterpret_cast<uintptr_t>(widget));
    XSetErrorHandler(noteError);
    uint64_t shown = pixelsOf(display, window);
    int sent = 0;
    for (const float value : hostile) {
        for (uint32_t port = 0; port < PORT_COUNT + 2; ++port) {
            descriptor->port_event(ui, port, sizeof value, 0, &value);
            ++sent;
        }
        uint64_t now = shown;
        for (int call = 0; now == shown || now == 0; ++call) {
            if (call == 5000) return fail("the window did not draw what it was sent");
            if (idle->idle(ui) != 0) return fail("the window asked to close");
            usleep(1000);
            now = pixelsOf(display, window);
        }
        shown = now;
    }
    // Sizes and formats a host should not send: ignored.
    const double wide = 1.0;
    descriptor->port_event(ui, 4, sizeof wide, 0, &wide);
    descriptor->port_event(ui, 4, sizeof(float), 1, &wide);
    descriptor->port_event(ui, 4, sizeof(float), 0, nullptr);
    if (idle->idle(ui) != 0) return fail("the window asked to close");
    if (!written.empty()) return fail("the window wrote a port without being touched");
    descriptor->cleanup(ui);
    XDestroyWindow(display, parent);
    XCloseDisplay(display);
    dlclose(library);
    std::printf(
        "the window showed %d hostile port values on every port, and declined to be "
        "made without a parent\n",
        sent);
    return 0;
}
