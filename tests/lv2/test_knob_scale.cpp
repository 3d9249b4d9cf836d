// The window's knobs against the table: every value a knob gives is one its control accepts, the
// default sits where a double click puts it back, and each taper spends its travel as stated.
#include <gtest/gtest.h>

#include <cmath>

#include "dsp/controls.h"
#include "lv2/ui/knob_scale.h"

namespace {

namespace dsp = grindlet::dsp;
namespace ui = grindlet::ui;

TEST(KnobScale, EveryKnobGivesValuesItsControlAcceptsAndFindsItsDefault) {
    for (const dsp::ControlFacts& control : dsp::CONTROLS) {
        SCOPED_TRACE(control.symbol);
        double previous = -INFINITY;
        for (int step = 0; step <= 1000; ++step) {
            const double value = ui::valueAt(control, step / 1000.0);
            EXPECT_TRUE(dsp::accepts(control, value)) << value;
            EXPECT_GE(value, previous);  // the knob never turns back
            if (control.integer) {
                EXPECT_EQ(value, std::round(value));
            }
            previous = value;
        }
        EXPECT_EQ(ui::valueAt(control, 0.0), control.sliderMinimum);
        EXPECT_EQ(ui::valueAt(control, 1.0), control.sliderMaximum);
        // The default read back from its place on the knob: what the window shows at start.
        EXPECT_EQ(ui::valueAt(control, ui::travelOf(control, control.defaultValue)),
                  control.defaultValue);
    }
}

TEST(KnobScale, TapersSpendTheirTravelAsStated) {
    const dsp::ControlFacts& rate = dsp::CONTROLS[dsp::CONTROL_RATE];
    // Logarithmic: halfway is the geometric mean of 20 Hz and 192 kHz, 1,959.6 Hz.
    EXPECT_EQ(ui::valueAt(rate, 0.5), 1960.0);
    EXPECT_NEAR(ui::travelOf(rate, 1959.59), 0.5, 1e-6);
    // Tone: off at the bottom, then 20 Hz to 20 kHz logarithmically (1 kHz where a linear knob
    // would give 10 kHz).
    const dsp::ControlFacts& tone = dsp::CONTROLS[dsp::CONTROL_TONE];
    EXPECT_EQ(ui::taperOf(tone), ui::Taper::OffThenLogarithmic);
    EXPECT_EQ(ui::valueAt(tone, ui::OFF_TRAVEL / 2), 0.0);
    EXPECT_EQ(ui::valueText(tone, 0.0), "Off");
    EXPECT_EQ(ui::valueAt(tone, ui::OFF_TRAVEL), 20.0);
    const double middle = ui::OFF_TRAVEL + (1.0 - ui::OFF_TRAVEL) / 2.0;
    EXPECT_NEAR(ui::valueAt(tone, middle), 632.0, 0.5);  // sqrt(20 * 20000)
    // Rate Ratio: off at the bottom, then 1/256 to 1 logarithmically (1/16 halfway).
    const dsp::ControlFacts& ratio = dsp::CONTROLS[dsp::CONTROL_RATE_RATIO];
    EXPECT_EQ(ui::valueAt(ratio, 0.0), 0.0);
    EXPECT_EQ(ui::valueText(ratio, 0.0), "Off");
    EXPECT_NEAR(ui::valueAt(ratio, middle), 0.0625, 0.0001);
    // Linear: steps of a thousandth of the range, never noise like -0.031 dB.
    const dsp::ControlFacts& drive = dsp::CONTROLS[dsp::CONTROL_DRIVE];
    EXPECT_EQ(ui::valueAt(drive, 0.5), 0.0);
    EXPECT_DOUBLE_EQ(ui::valueAt(drive, 0.50065), 0.0);
    // A choice out of its range (a host may send any number) reads as its first entry.
    EXPECT_EQ(ui::valueText(dsp::CONTROLS[dsp::CONTROL_LAW], 7.0), "Linear");
}

}  // namespace
