#include "api/module.h"
#include "sim_world.h"
#include "transport/filters.h"

namespace {

using namespace simworld;

class FiltersTest : public OpenChannelTest {
protected:
    static uint32_t Start(uint32_t type, const PASSTHRU_MSG &mask, const PASSTHRU_MSG &pattern,
                          const PASSTHRU_MSG *flow, uint32_t *filterId) {
        PASSTHRU_MSG m = mask, p = pattern, f = flow ? *flow : PASSTHRU_MSG{};
        return PassThruStartMsgFilter(1, type, &m, &p, flow ? &f : nullptr, filterId);
    }

    static uint32_t Pass(uint32_t pattern, uint32_t mask = 0x7FF) {
        uint32_t id = 0;
        EXPECT_EQ(STATUS_NOERROR, Start(PASS_FILTER, FilterMsg(4, mask), FilterMsg(4, pattern), nullptr, &id));
        return id;
    }

    static uint32_t Flow(uint32_t pattern, uint32_t flowId) {
        uint32_t id = 0;
        const PASSTHRU_MSG flow = FilterMsg(4, flowId);
        EXPECT_EQ(STATUS_NOERROR, Start(FLOW_CONTROL_FILTER, FilterMsg(4, 0x7FF), FilterMsg(4, pattern), &flow, &id));
        return id;
    }

    static std::vector<uint64_t> AcceptanceOpened() {
        std::vector<uint64_t> ids;
        for (const vxlsim_call &call : vxlsim::CallsTo("xlCanAddAcceptanceRange")) {
            EXPECT_EQ(call.args[2], call.args[3]);  // always one identifier
            ids.push_back(call.args[2]);
        }
        return ids;
    }
};

TEST_F(FiltersTest, IdsCountFromOneAndWrapAtSixteenBits) {
    EXPECT_EQ(1u, Pass(0x7E8));
    EXPECT_EQ(2u, Pass(0x7E9));
    theModule.m_NextFilterId = 65535;
    EXPECT_EQ(0u, Pass(0x7EA));
    EXPECT_TRUE(traced("pMsgID=00000000 mask=000007ff canID=000007ea flowID=00000000"));
}

TEST_F(FiltersTest, PassFilterOpensItsPatternInHardwareAndLetsFramesThrough) {
    ASSERT_GE(vxlsim::BusSend(0, 0x7E8, {0x02, 0x50, 0x01}), 0);
    EXPECT_TRUE(ReadAll().empty());
    EXPECT_FALSE(traced("PASSFilter none!"));  // closed in hardware: never reached the queue

    Pass(0x7E8);
    EXPECT_EQ((std::vector<uint64_t>{0x7E8}), AcceptanceOpened());
    EXPECT_TRUE(tracedStartingWith("Vector hard Pass Filter added canid=0x07E8 port=0x"));
    ASSERT_GE(vxlsim::BusSend(0, 0x7E8, {0x02, 0x50, 0x01}), 0);
    auto msgs = ReadAll();
    ASSERT_EQ(1u, msgs.size());
    ExpectMessage(msgs[0], 0x7E8, {0x50, 0x01});
}

// Every start of a pattern counts on one record (the first start's mask and
// id); only the first id stops it, and the record goes with the last stop.
TEST_F(FiltersTest, SamePatternSharesOneRecordUntilItsLastStop) {
    const uint32_t first = Pass(0x7E8, 0x7FF);
    const uint32_t second = Pass(0x7E8, 0x700);
    Pass(0x7E8);
    EXPECT_TRUE(traced("Pass Filter reused..."));
    ASSERT_EQ(1, theModule.m_passFilterCount);
    EXPECT_EQ(3, theModule.m_passFilter.front()->useCount);
    EXPECT_EQ(0x7FFu, theModule.m_passFilter.front()->mask);
    EXPECT_EQ(first, theModule.m_passFilter.front()->filterId);
    EXPECT_EQ(1u, AcceptanceOpened().size());

    for (uint32_t unknown : {second, first + 0x10000, 77u}) {
        EXPECT_EQ(ERR_NOT_SUPPORTED, PassThruStopMsgFilter(1, unknown)) << unknown;
    }
    EXPECT_TRUE(traced("Filter not found !!!"));
    EXPECT_EQ(STATUS_NOERROR, PassThruStopMsgFilter(1, first));
    EXPECT_EQ(STATUS_NOERROR, PassThruStopMsgFilter(1, first));
    EXPECT_TRUE(traced("decremted"));
    EXPECT_EQ(1, theModule.m_passFilterCount);
    EXPECT_EQ(STATUS_NOERROR, PassThruStopMsgFilter(1, first));
    EXPECT_EQ(0, theModule.m_passFilterCount);
    EXPECT_TRUE(theModule.m_passFilter.empty());
    EXPECT_TRUE(traced("passFilter removed left 0"));
    EXPECT_EQ(ERR_NOT_SUPPORTED, PassThruStopMsgFilter(1, first));
}

TEST_F(FiltersTest, MaskDataSizeFiveReadsAddressBytesFromEveryMessage) {
    uint32_t id = 0;
    PASSTHRU_MSG flow = FilterMsg(4, 0x6F1, 0x40);
    ASSERT_EQ(STATUS_NOERROR,
              Start(FLOW_CONTROL_FILTER, FilterMsg(5, 0x7FF, 0xFF), FilterMsg(4, 0x640, 0xF1), &flow, &id));
    ASSERT_EQ(STATUS_NOERROR, Start(PASS_FILTER, FilterMsg(5, 0x7FF, 0xFF), FilterMsg(4, 0x640, 0xF1), &flow, &id));
    const FilterRecord &flowRecord = *theModule.m_flowFilter.front();
    EXPECT_EQ(1, flowRecord.b_ExtendedAdress);
    EXPECT_EQ(0x40, flowRecord.b_ExtendedAdressRx);
    EXPECT_EQ(0x6F1u, flowRecord.flowId);
    const FilterRecord &passRecord = *theModule.m_passFilter.front();
    EXPECT_EQ(1, passRecord.b_ExtendedAdress);
    EXPECT_EQ(0xF1, passRecord.b_ExtendedAdressRx);
    EXPECT_TRUE(traced("pMaskMsg ExtendedAdressing set for adress =00ff "));
    EXPECT_TRUE(traced("pPatternMsg ExtendedAdressing set for adress =00f1 "));
    EXPECT_TRUE(traced("pFlowControlMsg ExtendedAdressing set for adress =0040 "));
}

TEST_F(FiltersTest, FlowControlFilterOpensTheFlowIdNotThePattern) {
    Flow(0x7E8, 0x7E0);
    EXPECT_EQ((std::vector<uint64_t>{0x7E0}), AcceptanceOpened());
    EXPECT_TRUE(tracedStartingWith("Vector hard Flow Filter added canid=0x07E0 "));
    EXPECT_EQ(0, theModule.m_passFilterCount);  // no copy while the maker's scheme is off

    Flow(0x7E8, 0x7E0);
    EXPECT_TRUE(traced("m_flowFilter reused..."));
    EXPECT_EQ(1u, AcceptanceOpened().size());
}

// Under the maker's scheme a flow-control filter gives the pass filter of
// its pattern the tester's address (the low byte of the flow id), and adds
// one under its own id where there is none.
TEST_F(FiltersTest, MakersSchemeGivesThePatternsPassFilterTheTestersAddress) {
    theModule.m_ExtAddressing = 1;
    Pass(0x640);
    Flow(0x640, 0x6F1);
    EXPECT_TRUE(traced("Updated passfilter b_ExtendedAdressRx!!"));
    ASSERT_EQ(1, theModule.m_passFilterCount);
    EXPECT_EQ(0xF1, theModule.m_passFilter.front()->b_ExtendedAdressRx);

    const uint32_t id = Flow(0x641, 0x6F2);
    EXPECT_TRUE(traced("ORV-Extadressing Rx (flowFilter) Id = 06f2"));
    EXPECT_TRUE(traced("Inserted passfilter"));
    ASSERT_EQ(2, theModule.m_passFilterCount);
    const FilterRecord &copy = *theModule.m_passFilter.back();
    EXPECT_EQ(0x641u, copy.pattern);
    EXPECT_EQ(0xF2, copy.b_ExtendedAdressRx);
    EXPECT_EQ(id, copy.filterId);
    EXPECT_EQ(0x6F2u, copy.flowId);
    // The copy goes with the first stop of the id, the flow-control filter with the second.
    EXPECT_EQ(STATUS_NOERROR, PassThruStopMsgFilter(1, id));
    EXPECT_EQ(1, theModule.m_passFilterCount);
    EXPECT_EQ(2, theModule.m_flowFilterCount);
    EXPECT_EQ(STATUS_NOERROR, PassThruStopMsgFilter(1, id));
    EXPECT_EQ(1, theModule.m_flowFilterCount);
}

TEST_F(FiltersTest, BlockFiltersAreKeptButNeverOpenHardware) {
    uint32_t first = 0, second = 0;
    PASSTHRU_MSG flow = FilterMsg(4, 0x7E0);
    ASSERT_EQ(STATUS_NOERROR, Start(BLOCK_FILTER, FilterMsg(4, 0x7FF), FilterMsg(4, 0x7E8), &flow, &first));
    EXPECT_TRUE(traced("Block Filter added"));
    ASSERT_EQ(STATUS_NOERROR, Start(BLOCK_FILTER, FilterMsg(4, 0x7FF), FilterMsg(4, 0x7E8), &flow, &second));
    EXPECT_TRUE(traced("Block Filter added..."));
    EXPECT_EQ(1, theModule.m_blockFilterCount);
    EXPECT_EQ(2, theModule.m_blockFilter.front()->useCount);
    EXPECT_TRUE(AcceptanceOpened().empty());

    theModule.m_ExtAddressing = 1;
    ASSERT_EQ(STATUS_NOERROR, Start(BLOCK_FILTER, FilterMsg(4, 0x7FF), FilterMsg(4, 0x7E9), &flow, &second));
    EXPECT_TRUE(traced("ORV-Extadressing Rx (block) Id = 07e0"));
    EXPECT_EQ(0xE0, theModule.m_blockFilter.back()->b_ExtendedAdressRx);
    EXPECT_EQ(STATUS_NOERROR, PassThruStopMsgFilter(1, second));
    EXPECT_EQ(1, theModule.m_blockFilterCount);
}

// A refused start keeps no record; only an unknown filter type uses up an id.
TEST_F(FiltersTest, RefusedStartsKeepNoFilter) {
    const PASSTHRU_MSG mask = FilterMsg(4, 0x7FF), pattern = FilterMsg(4, 0x7E8);
    const PASSTHRU_MSG shortMask = FilterMsg(3, 0x7FF), longMask = FilterMsg(6, 0x7FF);
    const struct {
        const char *what;
        uint32_t type;
        const PASSTHRU_MSG *mask, *pattern;
        bool filterId;
        uint32_t status;
        const char *trace;  // nullptr: none asked for
        uint32_t idAfter;   // what *pFilterID holds afterwards
    } cases[] = {
        {"unknown type", 4, &mask, &pattern, true, ERR_NOT_SUPPORTED, nullptr, 1},
        {"mask of 3 bytes", PASS_FILTER, &shortMask, &pattern, true, ERR_INVALID_MSG, nullptr, 0xAAAA},
        {"mask of 6 bytes", PASS_FILTER, &longMask, &pattern, true, ERR_INVALID_MSG, nullptr, 0xAAAA},
        {"no mask", PASS_FILTER, nullptr, &pattern, true, ERR_INVALID_MSG, "MaskMsg         void pointer!", 0xAAAA},
        {"no pattern", PASS_FILTER, &mask, nullptr, true, ERR_INVALID_MSG, nullptr, 0xAAAA},
        {"no id", PASS_FILTER, &mask, &pattern, false, ERR_NULL_PARAMETER,
         "PassThruStartMsgFilter pFilterID is a NULL pointer", 0xAAAA},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        trace().clear();
        PASSTHRU_MSG m = c.mask ? *c.mask : PASSTHRU_MSG{}, p = c.pattern ? *c.pattern : PASSTHRU_MSG{};
        uint32_t id = 0xAAAA;
        EXPECT_EQ(c.status, PassThruStartMsgFilter(1, c.type, c.mask ? &m : nullptr, c.pattern ? &p : nullptr,
                                                   nullptr, c.filterId ? &id : nullptr));
        if (c.trace) {
            EXPECT_TRUE(traced(c.trace));
        }
        EXPECT_EQ(c.idAfter, id);
        EXPECT_EQ(0, theModule.m_passFilterCount + theModule.m_blockFilterCount + theModule.m_flowFilterCount);
        EXPECT_EQ(c.idAfter == 1 ? 2u : 1u, Pass(0x7E8));
        ResetTransportState();
    }
}

TEST_F(FiltersTest, RefusedHardwareAcceptanceKeepsTheFilter) {
    ASSERT_EQ(0, vxlsim_fail("xlCanAddAcceptanceRange", XL_ERR_INVALID_ACCESS, 1));
    TraceCapture quiet(1);
    Pass(0x7E8);
    EXPECT_EQ(1, theModule.m_passFilterCount);
    EXPECT_TRUE(TracedStartingWith(quiet, "xlCanSetChannelAcceptance FAILED!!!! 0x0070 "));
}

}  // namespace
