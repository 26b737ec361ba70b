#include <latch>
#include <thread>

#include "adjust/Pipeline.h"
#include "tests/adjust/AdjustTest.h"

namespace {

// A pass with every stage on (the proxy or the full photo), through a state made and dropped on
// the calling thread.
void CorrectCopy(const SourcePhoto& photo, bool proxy, CImgBuff& result) {
    AdjustmentState state;
    state.OnBrightnessChanged(1, 20);
    state.OnAddLightChanged(1, 30);
    state.selectedBand = 4;
    state.OnBandHueChanged(1, 700);
    state.SetSpotGreyPoint(GreyPoint{0.5, 0.45, 0.4});  // a white balance made on each thread
    state.SetWhiteBalanceMode(WhiteBalanceMode::Automatic);
    ASSERT_EQ(ApplyAdjustments(*state.Plan(), photo, proxy, result.buffer), 1);
}

// The window renders while another thread corrects: states made and dropped on both threads at
// once share the engine tables safely, passes on one photo from both threads share the white
// balance measured by whichever comes first (the grey table built by whichever needs it
// first), and every pass gives the serial result.
TEST(EngineStateThreads, StatesOnTwoThreadsGiveTheSerialResult) {
    CImgBuff pixels, expected[2], results[2][2];
    FillRandomHsv(pixels, 96, 80, 5);
    const std::shared_ptr<const SourcePhoto> photo = PhotoOf(pixels);
    std::latch start(2);
    auto correct = [&](CImgBuff(&results)[2]) {
        start.arrive_and_wait();
        for (bool proxy : {false, true}) CorrectCopy(*photo, proxy, results[proxy]);
    };
    std::thread other(correct, std::ref(results[1]));
    correct(results[0]);
    other.join();
    for (bool proxy : {false, true}) CorrectCopy(*PhotoOf(pixels), proxy, expected[proxy]);
    for (const auto& thread : results) {
        for (bool proxy : {false, true}) EXPECT_TRUE(SamePixels(thread[proxy], expected[proxy]));
    }
}

}  // namespace
