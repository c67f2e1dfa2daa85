#include "tools/producer/faults.h"
#include "tools/producer/producer_options.h"

#include <gtest/gtest.h>
#include <string>

namespace vaskel::producer_tool {
namespace {

TEST(ProducerFaultTable, EveryRowHasOneActionARoundTripNameAndAHelpLine) {
    ASSERT_EQ(allFaults().size(), 17u);
    for (const Fault& fault : faultTable()) {
        SCOPED_TRACE(std::string(fault.name));
        // A row without an action would be accepted on the command line and inject nothing.
        const int actions = (fault.region != nullptr) + (fault.replace != nullptr) +
                            (fault.chunk != nullptr) + (fault.attached != nullptr);
        EXPECT_EQ(actions, 1);
        EXPECT_EQ(faultFromName(fault.name), fault.kind);
        EXPECT_EQ(faultName(fault.kind), fault.name);
        EXPECT_NE(producerHelp().find(std::string(fault.name) + " "), std::string::npos)
            << "missing from --help";
    }
    EXPECT_FALSE(faultFromName("none"));
    EXPECT_EQ(findFault(FaultKind::None), nullptr);
}

} // namespace
} // namespace vaskel::producer_tool
