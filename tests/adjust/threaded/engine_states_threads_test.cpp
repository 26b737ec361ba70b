#include <latch>
#include <thread>

#include "adjust/Pipeline.h"
#include "tests/adjust/AdjustTest.h"

namespace {

// A full pass with every stage on, in a state made and destroyed on the calling thread.
void CorrectCopy(const CImgBuff& photo, CImgBuff& result) {
    AdjustmentState state;
    state.ResetAdjustments();
    state.sourceImage.Copy(photo);
    state.OnBrightnessChanged(1, 20);
    state.OnAddLightChanged(1, 30);
    state.selectedBand = 4;
    state.OnBandHueChanged(1, 700);
    state.wbMode = WhiteBalanceMode::Automatic;
    state.needsApply = 1;
    result.Copy(*state.ApplyAdjustmentStages(0));
}

// The window keeps its state while another thread corrects other photos with states of its own:
// making and dropping states on both threads at once shares the engine tables safely, and every
// pass gives the serial result.
TEST(EngineStateThreads, StatesOnTwoThreadsGiveTheSerialResult) {
    CImgBuff photo;
    FillRandomHsv(photo, 96, 80, 5);
    CImgBuff expected;
    CorrectCopy(photo, expected);

    CImgBuff results[2][2];
    std::latch start(2);
    std::thread other([&] {
        start.arrive_and_wait();
        for (CImgBuff& result : results[1]) CorrectCopy(photo, result);
    });
    start.arrive_and_wait();
    for (CImgBuff& result : results[0]) CorrectCopy(photo, result);
    other.join();
    for (const auto& thread : results) {
        for (const CImgBuff& result : thread) EXPECT_TRUE(SamePixels(result, expected));
    }
}

}  // namespace
