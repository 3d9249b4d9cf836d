// Our host side: loading errors, and how it answers and delivers for a module.
#include <gtest/gtest.h>

#include <fstream>

#include "host/hosted_module.h"
#include "host/scenario.h"

namespace grindlet::test {
namespace {

using host::ModuleLibrary;

struct LoadFailure {
    const char* path;
    const char* message;
};

class HostLoadErrors : public ::testing::TestWithParam<LoadFailure> {};

TEST_P(HostLoadErrors, ComeBackAsMessages) {
    std::ofstream("/tmp/grindlet-junk.sep") << "MZ but nothing else";
    std::ofstream("/tmp/grindlet-text.sep") << "plain text";
    std::string error;
    EXPECT_EQ(ModuleLibrary::load(GetParam().path, error), nullptr);
    EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Files, HostLoadErrors,
    ::testing::Values(LoadFailure{"/nonexistent/Module.sep", "no such module file"},
                      LoadFailure{"/tmp/grindlet-text.sep", "not a loadable module"},
                      LoadFailure{"/tmp/grindlet-junk.sep", "not a loadable module"},
                      LoadFailure{GRINDLET_HALF_MODULE_PATH, "does not export makeModule"}));

TEST(HostedModule, MakeReportsANullObject) {
    std::string error;
    auto library = ModuleLibrary::load(GRINDLET_NULL_MODULE_PATH, error);
    ASSERT_TRUE(library) << error;
    host::HostedModule module(*library);
    EXPECT_FALSE(module.make(error));
    EXPECT_NE(error.find("returned null"), std::string::npos);
    EXPECT_FALSE(module.process(0, 16)) << "nothing to call";
}

class HostedEffect : public ::testing::Test {
protected:
    std::unique_ptr<ModuleLibrary> library;
    std::unique_ptr<host::HostedModule> module;
    void SetUp() override {
        std::string error;
        library = ModuleLibrary::load(GRINDLET_MODULE_PATH, error);
        ASSERT_TRUE(library) << error;
        module = std::make_unique<host::HostedModule>(*library);
        ASSERT_TRUE(module->make(error)) << error;
        module->describePins();
        module->allocateBuffers(256);
        module->open();
    }
};

TEST_F(HostedEffect, AnswersThePinCountAndRecordsTheOutputStatus) {
    EXPECT_EQ(module->getReportedPinCount(), 6);
    EXPECT_EQ(module->calls().front().opcode, HOST_GET_PIN_COUNT);
    EXPECT_EQ(module->sentStatus(3), STATUS_STREAMING);
    EXPECT_EQ(module->sentStatus(0), -1);
    EXPECT_EQ(module->sentStatus(99), -1);
}

TEST_F(HostedEffect, BlockPositionAdvancesWithTheSamplesProcessed) {
    module->sendPinStatus(0, STATUS_STREAMING);
    module->process(0, 100);
    module->process(100, 28);
    EXPECT_EQ(module->blockPosition(), 128);
    module->clearCalls();
    module->sendPinStatus(1, STATUS_STATIC);
    EXPECT_EQ(module->calls()[1].pointer, 128) << "the status is sent at the current position";
}

TEST_F(HostedEffect, SleepStopsProcessCallsUntilTheNextStatusChange) {
    module->setBlockSize(64);
    module->sendPinStatus(0, STATUS_STATIC);
    EXPECT_TRUE(module->process(0, 64));
    EXPECT_TRUE(module->isAsleep());
    EXPECT_FALSE(module->process(0, 64));
    EXPECT_EQ(module->blockPosition(), 64);
    module->sendPinStatus(0, STATUS_STREAMING);
    EXPECT_TRUE(module->process(0, 64));
    EXPECT_EQ(module->sleepCount(), 1);
}

TEST_F(HostedEffect, ReadsTheRoutineAfreshAfterItChanges) {
    const ProcessRoutine before = module->block()->process;
    module->sendPinStatus(0, STATUS_STREAMING);
    EXPECT_NE(module->block()->process, before);
    EXPECT_EQ(module->processChangedCount(), 1);
}

TEST_F(HostedEffect, CloseLeavesNoBlockAndIgnoresFurtherCalls) {
    module->close();
    EXPECT_EQ(module->block(), nullptr);
    EXPECT_EQ(module->dispatch(OP_OPEN), 0);
    EXPECT_FALSE(module->process(0, 1));
    module->close();
}

}  // namespace
}  // namespace grindlet::test
