// The plugin's window (an LV2 X11 UI drawn with cairo): every control as a knob or a switch with
// its name and value in the table's units, the presets, the bypass, peak meters with a hold and a
// clip light, and a picture of what the settings do to a sine. It talks to the plugin only
// through its ports: it writes the controls' values and reads what the host sends back (the
// controls, the meters), so the audio thread never waits on it.
#include <lv2/atom/atom.h>
#include <lv2/options/options.h>
#include <lv2/parameters/parameters.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "dsp/controls.h"
#include "dsp/engine.h"
#include "dsp/presets.h"
#include "knob_scale.h"

// After the table: Xlib's macros (None, Bool) would rename its words.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cairo-xlib.h>
#include <cairo.h>

namespace {

namespace dsp = grindlet::dsp;
namespace ui = grindlet::ui;

constexpr const char* UI_URI = "urn:qz-grindlet:ui";
constexpr const char* STEREO_URI = "urn:qz-grindlet:stereo";

// The window's layout at 100 %, in its own units; a larger window (a host's 200 %, a resize)
// scales all of it alike.
constexpr double BASE_WIDTH = 960.0, BASE_HEIGHT = 560.0;
constexpr double HEADER_HEIGHT = 44.0;
constexpr double PICTURE_TOP = 54.0, PICTURE_HEIGHT = 150.0;
constexpr double GRID_LEFT = 10.0, GRID_TOP = 214.0, CELL_WIDTH = 120.0, CELL_HEIGHT = 112.0;
constexpr int GRID_COLUMNS = 7;
constexpr double KNOB_RADIUS = 26.0;
constexpr double METERS_LEFT = 870.0, METER_WIDTH = 32.0, METER_GAP = 14.0;
constexpr double METER_TOP = 84.0, METER_BOTTOM = 520.0;
constexpr double PRESET_LEFT = 230.0, PRESET_WIDTH = 330.0, MENU_ROW = 26.0;
constexpr double BYPASS_LEFT = 580.0, BYPASS_WIDTH = 130.0;
// The meters' scale, and how long the hold and the clip light stay.
constexpr double METER_FLOOR_DB = -60.0, METER_TOP_DB = 6.0;
constexpr double HOLD_SECONDS = 2.0, CLIP_SECONDS = 3.0;
// A knob's whole travel is this many units of drag (ten times more with Shift).
constexpr double DRAG_TRAVEL = 200.0;
constexpr double FRAME_SECONDS = 1.0 / 30.0;
constexpr unsigned DOUBLE_CLICK_MS = 400;
// The picture: a sine at this frequency and level, shown over this span after the settings
// have settled (the level stage's smoothing, the filters).
constexpr double PICTURE_HZ = 220.0, PICTURE_AMPLITUDE = 0.7;
constexpr double PICTURE_SECONDS = 0.010, SETTLE_SECONDS = 0.050;

// The colours, named by what they mark.
struct Colour {
    double r, g, b;
};
constexpr Colour BACKGROUND{0.11, 0.12, 0.14}, WELL{0.06, 0.07, 0.08}, GRID{0.2, 0.22, 0.25};
constexpr Colour FACE{0.2, 0.21, 0.24}, FACE_OFF{0.35, 0.35, 0.38}, KNOB_CAP{0.16, 0.17, 0.19};
constexpr Colour MENU{0.14, 0.15, 0.17}, ACCENT{0.95, 0.62, 0.2}, ON_ACCENT{0.08, 0.08, 0.1};
constexpr Colour LABEL{0.88, 0.89, 0.9}, HINT{0.52, 0.54, 0.58}, DRY_TRACE{0.45, 0.48, 0.52};
constexpr Colour CLIP_LIT{0.95, 0.15, 0.12}, CLIP_OUT{0.25, 0.1, 0.1};

void paint(cairo_t* cr, const Colour& c) { cairo_set_source_rgb(cr, c.r, c.g, c.b); }

double secondsNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

struct Rect {
    double x, y, w, h;
    bool contains(double px, double py) const {
        return px >= x && px < x + w && py >= y && py < y + h;
    }
};

Rect cellOf(size_t control) {
    const double column = double(control % GRID_COLUMNS), row = double(control / GRID_COLUMNS);
    return {GRID_LEFT + column * CELL_WIDTH, GRID_TOP + row * CELL_HEIGHT, CELL_WIDTH, CELL_HEIGHT};
}
Rect presetButton() { return {PRESET_LEFT, 8.0, PRESET_WIDTH, 28.0}; }
Rect presetRow(size_t i) {
    return {PRESET_LEFT, 40.0 + double(i) * MENU_ROW, PRESET_WIDTH, MENU_ROW};
}
Rect bypassSwitch() { return {BYPASS_LEFT, 8.0, BYPASS_WIDTH, 28.0}; }
Rect meterBar(int meter) {
    return {METERS_LEFT + meter * (METER_WIDTH + METER_GAP), METER_TOP, METER_WIDTH,
            METER_BOTTOM - METER_TOP};
}
Rect clipLight(int meter) {
    const Rect bar = meterBar(meter);
    return {bar.x, METER_TOP - 22.0, METER_WIDTH, 14.0};
}

double meterY(double decibels) {
    const double share =
        std::clamp((decibels - METER_FLOOR_DB) / (METER_TOP_DB - METER_FLOOR_DB), 0.0, 1.0);
    return METER_BOTTOM - share * (METER_BOTTOM - METER_TOP);
}

// A peak meter as shown: the level the plugin reports, the highest of the last HOLD_SECONDS, and
// when it last reached full scale.
struct MeterView {
    double decibels = -90.0, held = -90.0, heldAt = -1e9, clippedAt = -1e9;
    void show(double value, double now) {
        decibels = value;
        if (value >= held || now - heldAt > HOLD_SECONDS) held = value, heldAt = now;
        if (value >= 0.0) clippedAt = now;
    }
};

struct Window {
    LV2UI_Write_Function write = nullptr;
    LV2UI_Controller controller = nullptr;
    uint32_t firstControlPort = 0;  // after the audio ports: 2 for mono, 4 for stereo
    double sampleRate = 48000.0;
    double scale = 1.0;

    Display* display = nullptr;
    ::Window window = 0;
    cairo_surface_t* surface = nullptr;
    int width = 0, height = 0;

    double values[dsp::CONTROL_COUNT] = {};
    bool enabled = true;
    MeterView meters[2];
    // The control being dragged (CONTROL_COUNT: none), and where the drag started.
    size_t dragged = dsp::CONTROL_COUNT;
    double dragStartTravel = 0.0, dragStartY = 0.0;
    size_t lastPressed = dsp::CONTROL_COUNT;
    Time lastPressTime = 0;
    bool menuOpen = false;

    bool dirty = true, pictureStale = true;
    double lastDrawn = 0.0;
    std::unique_ptr<dsp::Engine> engine;
    std::vector<float> input, output;

    // Ports: the audio ones, every control of the table, the bypass, the two meters.
    uint32_t enabledPort() const { return firstControlPort + uint32_t(dsp::CONTROL_COUNT); }
    uint32_t meterPort(int meter) const { return enabledPort() + 1 + uint32_t(meter); }

    void send(uint32_t port, float value) { write(controller, port, sizeof value, 0, &value); }
    void setControl(size_t control, double value) {
        if (values[control] == value) return;
        values[control] = value;
        send(firstControlPort + uint32_t(control), float(value));
        dirty = pictureStale = true;
    }
    void applyPreset(const dsp::Preset& preset) {
        for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i)
            setControl(i, dsp::presetValue(preset, dsp::ControlIndex(i)));
    }
    // The preset the controls match exactly, if any.
    const dsp::Preset* currentPreset() const {
        for (const dsp::Preset& preset : dsp::PRESETS) {
            bool same = true;
            for (size_t i = 0; i < dsp::CONTROL_COUNT && same; ++i)
                same = float(values[i]) == float(dsp::presetValue(preset, dsp::ControlIndex(i)));
            if (same) return &preset;
        }
        return nullptr;
    }

    void portEvent(uint32_t port, float value) {
        if (port >= firstControlPort && port < enabledPort()) {
            const size_t control = port - firstControlPort;
            if (values[control] != value) values[control] = value, pictureStale = true;
        } else if (port == enabledPort()) {
            enabled = value >= 0.5f;
        } else if ((port == meterPort(0) || port == meterPort(1)) && std::isfinite(value)) {
            // (a level that is not a number would leave the bar's drawing undefined)
            meters[port - meterPort(0)].show(value, secondsNow());
        } else {
            return;
        }
        dirty = true;
    }

    // The window's units at a pixel, and the scale and offset that map them.
    double viewScale() const { return std::min(width / BASE_WIDTH, height / BASE_HEIGHT); }
    double viewLeft() const { return (width - BASE_WIDTH * viewScale()) / 2.0; }
    double viewTop() const { return (height - BASE_HEIGHT * viewScale()) / 2.0; }
    double unitX(double px) const { return (px - viewLeft()) / viewScale(); }
    double unitY(double py) const { return (py - viewTop()) / viewScale(); }

    // --- input ---
    void press(const XButtonEvent& event) {
        const double x = unitX(event.x), y = unitY(event.y);
        const int step = event.button == Button4 ? 1 : event.button == Button5 ? -1 : 0;
        if (menuOpen) {
            menuOpen = false;
            dirty = true;
            for (size_t i = 0; i < std::size(dsp::PRESETS); ++i) {
                if (event.button == Button1 && presetRow(i).contains(x, y))
                    applyPreset(dsp::PRESETS[i]);
            }
            return;
        }
        if (event.button == Button1 && presetButton().contains(x, y)) {
            menuOpen = true, dirty = true;
            return;
        }
        if (event.button == Button1 && bypassSwitch().contains(x, y)) {
            enabled = !enabled, dirty = true;
            send(enabledPort(), enabled ? 1.0f : 0.0f);
            return;
        }
        for (int meter = 0; meter < 2; ++meter) {
            if (clipLight(meter).contains(x, y)) meters[meter] = MeterView{}, dirty = true;
        }
        for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i) {
            if (!cellOf(i).contains(x, y)) continue;
            const dsp::ControlFacts& control = dsp::CONTROLS[i];
            if (step != 0) {
                nudge(i, step);
            } else if (ui::isChoice(control) &&
                       (event.button == Button1 || event.button == Button3)) {
                const long count = long(control.choiceCount);
                const long next = std::lround(values[i]) + (event.button == Button1 ? 1 : -1);
                setControl(i, double((next % count + count) % count));
            } else if (event.button == Button1) {
                const bool twice = lastPressed == i && event.time - lastPressTime < DOUBLE_CLICK_MS;
                lastPressed = i, lastPressTime = event.time;
                if (twice) {
                    setControl(i, control.defaultValue);
                } else {
                    dragged = i;
                    dragStartTravel = ui::travelOf(control, values[i]);
                    dragStartY = y;
                }
            }
        }
    }
    void nudge(size_t i, int step) {
        const dsp::ControlFacts& control = dsp::CONTROLS[i];
        if (ui::isChoice(control) || control.integer) {
            setControl(i, std::clamp(std::round(values[i]) + step, control.sliderMinimum,
                                     control.sliderMaximum));
        } else {
            setControl(i, ui::valueAt(control, ui::travelOf(control, values[i]) + step * 0.01));
        }
    }
    void motion(const XMotionEvent& event) {
        if (dragged == dsp::CONTROL_COUNT) return;
        const double travelled = (dragStartY - unitY(event.y)) / DRAG_TRAVEL;
        const double fine = (event.state & ShiftMask) != 0 ? 0.1 : 1.0;
        setControl(dragged,
                   ui::valueAt(dsp::CONTROLS[dragged], dragStartTravel + travelled * fine));
    }

    // --- drawing ---
    void renderPicture() {
        const auto settle = int64_t(SETTLE_SECONDS * sampleRate);
        const auto shown = int64_t(PICTURE_SECONDS * sampleRate);
        if (!engine) engine = std::make_unique<dsp::Engine>(sampleRate, 1);
        for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i)
            engine->set(dsp::ControlIndex(i), values[i]);
        engine->setEnabled(true);
        engine->reset();
        input.resize(size_t(settle + shown));
        output.resize(input.size());
        const double turn = 2.0 * M_PI * PICTURE_HZ / sampleRate;
        for (size_t n = 0; n < input.size(); ++n)
            input[n] = float(PICTURE_AMPLITUDE * std::sin(turn * double(n)));
        const float* in[] = {input.data()};
        float* out[] = {output.data()};
        engine->process(in, out, int64_t(input.size()));
        input.erase(input.begin(), input.begin() + settle);
        output.erase(output.begin(), output.begin() + settle);
        pictureStale = false;
    }

    // Words at (x, y) on their baseline: starting there, centred on x, or ending there.
    static void text(cairo_t* cr, const std::string& words, double x, double y, double size,
                     bool centred, bool bold = false, bool rightAligned = false) {
        cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                               bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
        cairo_set_font_size(cr, size);
        cairo_text_extents_t extents;
        cairo_text_extents(cr, words.c_str(), &extents);
        const double left = centred        ? x - extents.width / 2 - extents.x_bearing
                            : rightAligned ? x - extents.x_advance
                                           : x;
        cairo_move_to(cr, left, y);
        cairo_show_text(cr, words.c_str());
    }
    static void filledBox(cairo_t* cr, const Rect& r, double radius, const Colour& colour) {
        paint(cr, colour);
        box(cr, r, radius);
        cairo_fill(cr);
    }
    static void box(cairo_t* cr, const Rect& r, double radius) {
        cairo_new_sub_path(cr);
        cairo_arc(cr, r.x + r.w - radius, r.y + radius, radius, -M_PI / 2, 0);
        cairo_arc(cr, r.x + r.w - radius, r.y + r.h - radius, radius, 0, M_PI / 2);
        cairo_arc(cr, r.x + radius, r.y + r.h - radius, radius, M_PI / 2, M_PI);
        cairo_arc(cr, r.x + radius, r.y + radius, radius, M_PI, 1.5 * M_PI);
        cairo_close_path(cr);
    }

    void drawHeader(cairo_t* cr) {
        paint(cr, ACCENT);
        text(cr, "QZ-Grindlet", 14, 30, 20, false, true);
        const dsp::Preset* preset = currentPreset();
        filledBox(cr, presetButton(), 5, FACE);
        paint(cr, LABEL);
        text(cr, std::string("Preset: ") + (preset ? preset->label : "(custom)") + "  \u25be",
             PRESET_LEFT + 10, 27, 13, false);
        const Rect bypass = bypassSwitch();
        filledBox(cr, bypass, 5, enabled ? ACCENT : FACE_OFF);
        paint(cr, ON_ACCENT);
        text(cr, enabled ? "On" : "Bypassed", bypass.x + bypass.w / 2, 27, 13, true, true);
    }

    void drawPicture(cairo_t* cr) {
        if (pictureStale) renderPicture();
        const Rect area{10, PICTURE_TOP, 800, PICTURE_HEIGHT};
        filledBox(cr, area, 4, WELL);
        paint(cr, GRID);
        cairo_set_line_width(cr, 1);
        for (double level : {-0.5, 0.0, 0.5}) {
            const double y = area.y + area.h / 2 - level * area.h / 2 * 0.9;
            cairo_move_to(cr, area.x, y);
            cairo_line_to(cr, area.x + area.w, y);
        }
        cairo_stroke(cr);
        auto trace = [&](const std::vector<float>& samples) {
            for (size_t n = 0; n < samples.size(); ++n) {
                const double x = area.x + area.w * double(n) / double(samples.size() - 1);
                const double level = std::clamp(double(samples[n]), -1.1, 1.1);
                const double y = area.y + area.h / 2 - level * area.h / 2 * 0.9;
                if (n == 0)
                    cairo_move_to(cr, x, y);
                else
                    cairo_line_to(cr, x, y);
            }
            cairo_stroke(cr);
        };
        if (input.size() > 1) {
            cairo_set_line_width(cr, 1.5);
            paint(cr, DRY_TRACE);
            trace(input);
            cairo_set_line_width(cr, 2);
            paint(cr, ACCENT);
            trace(output);
        }
        paint(cr, HINT);
        text(cr, "A 220 Hz sine (grey) through these settings (orange), 10 ms", area.x + 8,
             area.y + 16, 11, false);
    }

    void drawKnob(cairo_t* cr, size_t i) {
        const dsp::ControlFacts& control = dsp::CONTROLS[i];
        const Rect cell = cellOf(i);
        const double cx = cell.x + cell.w / 2, cy = cell.y + 50;
        paint(cr, LABEL);
        text(cr, control.name, cx, cell.y + 16, 13, true, true);
        if (ui::isChoice(control)) {
            const Rect face{cx - 52, cy - 16, 104, 32};
            filledBox(cr, face, 5, FACE);
            paint(cr, ACCENT);
            text(cr, ui::valueText(control, values[i]), cx, cy + 5, 13, true, true);
            paint(cr, HINT);
            text(cr, "click: next", cx, cell.y + 96, 10, true);
            return;
        }
        constexpr double START = 0.75 * M_PI, SWEEP = 1.5 * M_PI;  // from 7 to 5 o'clock
        const double at = START + SWEEP * ui::travelOf(control, values[i]);
        cairo_new_path(cr);  // an arc would start with a line from the text's end
        cairo_set_line_width(cr, 5);
        paint(cr, FACE);
        cairo_arc(cr, cx, cy, KNOB_RADIUS, START, START + SWEEP);
        cairo_stroke(cr);
        paint(cr, ACCENT);
        cairo_arc(cr, cx, cy, KNOB_RADIUS, START, at);
        cairo_stroke(cr);
        paint(cr, KNOB_CAP);
        cairo_new_sub_path(cr);
        cairo_arc(cr, cx, cy, KNOB_RADIUS - 6, 0, 2 * M_PI);
        cairo_fill(cr);
        cairo_set_line_width(cr, 3);
        paint(cr, LABEL);
        cairo_move_to(cr, cx + 6 * std::cos(at), cy + 6 * std::sin(at));
        cairo_line_to(cr, cx + (KNOB_RADIUS - 8) * std::cos(at),
                      cy + (KNOB_RADIUS - 8) * std::sin(at));
        cairo_stroke(cr);
        // Rate Ratio sets Rate aside: Rate's value greyed, the ratio's shown as a rate too.
        const double ratio = values[dsp::CONTROL_RATE_RATIO];
        std::string shown = ui::valueText(control, values[i]);
        if (i == dsp::CONTROL_RATE_RATIO && ratio > 0.0)
            shown += " = " + ui::valueText(dsp::CONTROLS[dsp::CONTROL_RATE], ratio * sampleRate);
        if (i == dsp::CONTROL_RATE && ratio > 0.0)
            paint(cr, HINT);
        else
            paint(cr, LABEL);
        text(cr, shown, cx, cell.y + 96, 13, true);
    }

    void drawMeters(cairo_t* cr, double now) {
        const char* names[] = {"In", "Out"};
        for (int m = 0; m < 2; ++m) {
            const MeterView& meter = meters[m];
            const Rect bar = meterBar(m), light = clipLight(m);
            const bool clipped = now - meter.clippedAt < CLIP_SECONDS;
            filledBox(cr, light, 3, clipped ? CLIP_LIT : CLIP_OUT);
            paint(cr, WELL);
            cairo_rectangle(cr, bar.x, bar.y, bar.w, bar.h);
            cairo_fill(cr);
            const double top = meterY(meter.decibels);
            cairo_pattern_t* fill = cairo_pattern_create_linear(0, METER_BOTTOM, 0, METER_TOP);
            cairo_pattern_add_color_stop_rgb(fill, 0.0, 0.2, 0.75, 0.35);
            cairo_pattern_add_color_stop_rgb(
                fill, (meterY(-12) - METER_BOTTOM) / (METER_TOP - METER_BOTTOM), 0.9, 0.8, 0.2);
            cairo_pattern_add_color_stop_rgb(fill, 1.0, 0.95, 0.2, 0.15);
            cairo_set_source(cr, fill);
            cairo_rectangle(cr, bar.x, top, bar.w, METER_BOTTOM - top);
            cairo_fill(cr);
            cairo_pattern_destroy(fill);
            if (meter.held > METER_FLOOR_DB) {
                paint(cr, LABEL);
                cairo_rectangle(cr, bar.x, meterY(meter.held) - 1, bar.w, 2);
                cairo_fill(cr);
            }
            paint(cr, LABEL);
            text(cr, names[m], bar.x + bar.w / 2, METER_TOP - 28, 12, true, true);
            char held[16];
            std::snprintf(held, sizeof held, "%.1f", std::max(meter.held, -90.0));
            text(cr, meter.held > -90.0 ? held : "-inf", bar.x + bar.w / 2, METER_BOTTOM + 18, 11,
                 true);
        }
        paint(cr, HINT);
        for (double db : {0.0, -6.0, -12.0, -24.0, -36.0, -48.0}) {
            char label[8];
            std::snprintf(label, sizeof label, "%.0f", db);
            text(cr, label, METERS_LEFT - 6, meterY(db) + 4, 10, false, false, true);
        }
        text(cr, "dBFS", METERS_LEFT - 6, METER_BOTTOM + 18, 10, false, false, true);
    }

    void drawMenu(cairo_t* cr) {
        const size_t count = std::size(dsp::PRESETS);
        const Rect all{PRESET_LEFT, 40, PRESET_WIDTH, MENU_ROW * double(count)};
        filledBox(cr, all, 5, MENU);
        const dsp::Preset* current = currentPreset();
        for (size_t i = 0; i < count; ++i) {
            const Rect row = presetRow(i);
            if (&dsp::PRESETS[i] == current)
                paint(cr, ACCENT);
            else
                paint(cr, LABEL);
            text(cr, dsp::PRESETS[i].label, row.x + 12, row.y + 18, 13, false);
        }
    }

    void draw() {
        if (surface == nullptr || width <= 0 || height <= 0) return;
        const double now = secondsNow();
        cairo_surface_t* frame =
            cairo_surface_create_similar(surface, CAIRO_CONTENT_COLOR, width, height);
        cairo_t* cr = cairo_create(frame);
        paint(cr, BACKGROUND);
        cairo_paint(cr);
        cairo_translate(cr, viewLeft(), viewTop());
        cairo_scale(cr, viewScale(), viewScale());
        drawHeader(cr);
        drawPicture(cr);
        for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i) drawKnob(cr, i);
        drawMeters(cr, now);
        if (menuOpen) drawMenu(cr);
        cairo_destroy(cr);
        cairo_t* screen = cairo_create(surface);
        cairo_set_source_surface(screen, frame, 0, 0);
        cairo_paint(screen);
        cairo_destroy(screen);
        cairo_surface_destroy(frame);
        cairo_surface_flush(surface);
        XFlush(display);
        dirty = false;
        lastDrawn = now;
    }

    void resized(int w, int h) {
        if (w == width && h == height) return;
        width = w, height = h;
        cairo_xlib_surface_set_size(surface, w, h);
        dirty = true;
    }

    // Takes every waiting event, then draws at most 30 times a second (and while the hold or a
    // clip light is fading, so that they go out).
    int idle() {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            switch (event.type) {
                case Expose:
                    dirty = true;
                    break;
                case ConfigureNotify:
                    resized(event.xconfigure.width, event.xconfigure.height);
                    break;
                case ButtonPress:
                    press(event.xbutton);
                    break;
                case ButtonRelease:
                    dragged = dsp::CONTROL_COUNT;
                    break;
                case MotionNotify:
                    motion(event.xmotion);
                    break;
                default:
                    break;
            }
        }
        const double now = secondsNow();
        bool fading = false;
        for (const MeterView& meter : meters)
            fading |= now - meter.heldAt < HOLD_SECONDS + 0.1 ||
                      now - meter.clippedAt < CLIP_SECONDS + 0.1;
        if ((dirty || fading) && now - lastDrawn >= FRAME_SECONDS) draw();
        return 0;
    }

    ~Window() {
        if (surface != nullptr) cairo_surface_destroy(surface);
        if (display != nullptr) {
            if (window != 0) XDestroyWindow(display, window);
            XCloseDisplay(display);
        }
    }
};

// The host's options: its scale factor for the window (else GDK_SCALE, as desktop toolkits
// read it) and the plugin's sample rate for the picture.
void readOptions(Window& self, const LV2_Options_Option* options, LV2_URID_Map* map) {
    if (const char* gdkScale = std::getenv("GDK_SCALE")) {
        const double scale = std::atof(gdkScale);
        if (scale >= 1.0 && scale <= 4.0) self.scale = scale;
    }
    if (options == nullptr || map == nullptr) return;
    const LV2_URID scaleFactor = map->map(map->handle, LV2_UI__scaleFactor);
    const LV2_URID sampleRate = map->map(map->handle, LV2_PARAMETERS__sampleRate);
    const LV2_URID floatType = map->map(map->handle, LV2_ATOM__Float);
    for (const LV2_Options_Option* o = options; o->key != 0; ++o) {
        if (o->type != floatType || o->size != sizeof(float) || o->value == nullptr) continue;
        const float value = *static_cast<const float*>(o->value);
        if (o->key == scaleFactor && value >= 1.0f && value <= 4.0f) self.scale = value;
        if (o->key == sampleRate && value >= 1000.0f && value <= 1e6f) self.sampleRate = value;
    }
}

LV2UI_Handle instantiate(const LV2UI_Descriptor*, const char* pluginUri, const char*,
                         LV2UI_Write_Function write, LV2UI_Controller controller,
                         LV2UI_Widget* widget, const LV2_Feature* const* features) {
    void* parent = nullptr;
    const LV2UI_Resize* resize = nullptr;
    const LV2_Options_Option* options = nullptr;
    LV2_URID_Map* map = nullptr;
    for (int i = 0; features != nullptr && features[i] != nullptr; ++i) {
        const char* uri = features[i]->URI;
        if (std::strcmp(uri, LV2_UI__parent) == 0) parent = features[i]->data;
        if (std::strcmp(uri, LV2_UI__resize) == 0)
            resize = static_cast<const LV2UI_Resize*>(features[i]->data);
        if (std::strcmp(uri, LV2_OPTIONS__options) == 0)
            options = static_cast<const LV2_Options_Option*>(features[i]->data);
        if (std::strcmp(uri, LV2_URID__map) == 0)
            map = static_cast<LV2_URID_Map*>(features[i]->data);
    }
    if (parent == nullptr || write == nullptr) return nullptr;
    auto self = std::make_unique<Window>();
    self->write = write;
    self->controller = controller;
    self->firstControlPort = std::strcmp(pluginUri, STEREO_URI) == 0 ? 4 : 2;
    for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i) self->values[i] = dsp::CONTROLS[i].defaultValue;
    readOptions(*self, options, map);

    self->display = XOpenDisplay(nullptr);
    if (self->display == nullptr) return nullptr;
    Display* display = self->display;
    const int w = int(std::lround(BASE_WIDTH * self->scale));
    const int h = int(std::lround(BASE_HEIGHT * self->scale));
    self->window = XCreateSimpleWindow(display, ::Window(reinterpret_cast<uintptr_t>(parent)), 0, 0,
                                       unsigned(w), unsigned(h), 0, 0, 0x1c1e24);  // BACKGROUND
    XStoreName(display, self->window, "QZ-Grindlet");
    XSelectInput(display, self->window,
                 ExposureMask | StructureNotifyMask | ButtonPressMask | ButtonReleaseMask |
                     Button1MotionMask);
    // Any size from half the base up: the drawing scales with the window.
    XSizeHints hints{};
    hints.flags = PMinSize | PBaseSize;
    hints.min_width = int(BASE_WIDTH / 2), hints.min_height = int(BASE_HEIGHT / 2);
    hints.base_width = w, hints.base_height = h;
    XSetNormalHints(display, self->window, &hints);
    XWindowAttributes attributes{};
    XGetWindowAttributes(display, self->window, &attributes);
    self->surface = cairo_xlib_surface_create(display, self->window, attributes.visual, w, h);
    self->width = w, self->height = h;
    XMapRaised(display, self->window);
    XFlush(display);
    if (resize != nullptr) resize->ui_resize(resize->handle, w, h);
    *widget = reinterpret_cast<LV2UI_Widget>(static_cast<uintptr_t>(self->window));
    return self.release();
}

void cleanup(LV2UI_Handle handle) { delete static_cast<Window*>(handle); }

void portEvent(LV2UI_Handle handle, uint32_t port, uint32_t size, uint32_t format,
               const void* buffer) {
    if (format != 0 || size != sizeof(float) || buffer == nullptr) return;
    static_cast<Window*>(handle)->portEvent(port, *static_cast<const float*>(buffer));
}

int idle(LV2UI_Handle handle) { return static_cast<Window*>(handle)->idle(); }

const void* extensionData(const char* uri) {
    static const LV2UI_Idle_Interface idleInterface = {idle};
    return std::strcmp(uri, LV2_UI__idleInterface) == 0 ? &idleInterface : nullptr;
}

const LV2UI_Descriptor DESCRIPTOR = {UI_URI, instantiate, cleanup, portEvent, extensionData};

}  // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2UI_Descriptor* lv2ui_descriptor(uint32_t index) {
    return index == 0 ? &DESCRIPTOR : nullptr;
}
