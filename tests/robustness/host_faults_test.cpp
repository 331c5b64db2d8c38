// The host or the heap failing mid-call: one line, the call returns, nothing is left open or live.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "host_call.h"
#include "volumes.h"

namespace quarnel::testing {
namespace {

// Every sample 257 (bytes 01 01): a call that reads it shows in every element.
const std::string& volumeFile() {
    static const std::string path = [] {
        const std::string file = temporaryPath("ones.raw");
        writeBytes(file, 268435456);
        return file;
    }();
    return path;
}

TEST(HostFaults, AResultWithoutDataPrintsItsLineReadsNothingAndClosesTheFile) {
    for (int nlhs : {0, 1}) {
        Arguments arguments;
        const std::vector<const mxArray*> call = {arguments.text(volumeFile()), arguments.number(1)};
        standinFailNextArrayData();
        Outcome outcome;
        callQuarnel(outcome, nlhs, call);
        EXPECT_TRUE(outcome.returned) << outcome.error;
        EXPECT_EQ(outcome.transcript, "Couldn't Allocate Memory!\n") << "no progress: the sweep never ran";
        ASSERT_NE(outcome.result, nullptr) << "the array created stays in the first slot";
        EXPECT_EQ(mxGetData(outcome.result), nullptr);
    }
}

TEST(HostFaults, AMissingSlicePairBufferPrintsItsLineAndClosesTheFile) {
    Arguments arguments;
    const std::vector<const mxArray*> call = {arguments.text(volumeFile()), arguments.number(1)};
    failNextSlicePairBuffer();
    Outcome outcome;
    callQuarnel(outcome, 1, call);
    EXPECT_TRUE(outcome.returned) << outcome.error;
    EXPECT_EQ(outcome.transcript, "Couldn't Allocate Buffer Memory!\n");
    const float* reduced = reducedElements(outcome);
    ASSERT_NE(reduced, nullptr);
    EXPECT_TRUE(std::all_of(reduced, reduced + 16777216, [](float value) { return value == 0.0f; }))
        << "the result must stay as created, unread and unwritten";
}

TEST(HostFaults, APathTheHostCantConvertIsAFileThatCantBeOpened) {
    Arguments arguments;
    const std::vector<const mxArray*> call = {arguments.text(volumeFile()), arguments.number(1)};
    standinFailNextTextConversion();
    Outcome outcome;
    callQuarnel(outcome, 1, call);
    EXPECT_TRUE(outcome.returned) << outcome.error;
    EXPECT_EQ(outcome.transcript, "Couldn't open file!\n");
    EXPECT_EQ(outcome.result, nullptr);
}

}  // namespace
}  // namespace quarnel::testing
