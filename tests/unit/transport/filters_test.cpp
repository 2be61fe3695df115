#include "transport_world.h"

namespace {

class FiltersTest : public TransportWorld {
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
    EXPECT_EQ((Bytes{0, 0, 7, 0xE8, 0x50, 0x01}), DataOf(msgs[0]));
}

TEST_F(FiltersTest, SamePatternIsSharedWhateverItsMask) {
    const uint32_t first = Pass(0x7E8, 0x7FF);
    const uint32_t second = Pass(0x7E8, 0x700);
    EXPECT_TRUE(traced("Pass Filter reused..."));
    ASSERT_EQ(1, theModule.m_passFilterCount);
    EXPECT_EQ(2, theModule.m_passFilter.front()->useCount);
    EXPECT_EQ(0x7FFu, theModule.m_passFilter.front()->mask);
    EXPECT_EQ(first, theModule.m_passFilter.front()->filterId);
    EXPECT_EQ(1u, AcceptanceOpened().size());

    EXPECT_EQ(ERR_NOT_SUPPORTED, PassThruStopMsgFilter(1, second));
    EXPECT_TRUE(traced("Filter not found !!!"));
    EXPECT_EQ(STATUS_NOERROR, PassThruStopMsgFilter(1, first));
    EXPECT_TRUE(traced("decremted"));
    EXPECT_EQ(1, theModule.m_passFilterCount);
    EXPECT_EQ(STATUS_NOERROR, PassThruStopMsgFilter(1, first));
    EXPECT_EQ(0, theModule.m_passFilterCount);
    EXPECT_TRUE(theModule.m_passFilter.empty());
    EXPECT_EQ(ERR_NOT_SUPPORTED, PassThruStopMsgFilter(1, first));
}

TEST_F(FiltersTest, SharedRecordGoesWithTheLastOfItsStops) {
    const uint32_t id = Pass(0x7E8);
    Pass(0x7E8);
    Pass(0x7E8);
    EXPECT_EQ(STATUS_NOERROR, PassThruStopMsgFilter(1, id));
    EXPECT_EQ(STATUS_NOERROR, PassThruStopMsgFilter(1, id));
    EXPECT_EQ(1, theModule.m_passFilterCount);
    EXPECT_EQ(STATUS_NOERROR, PassThruStopMsgFilter(1, id));
    EXPECT_EQ(0, theModule.m_passFilterCount);
    EXPECT_TRUE(traced("passFilter removed left 0"));
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
    uint32_t id = 0;
    PASSTHRU_MSG flow = FilterMsg(4, 0x7E0);
    ASSERT_EQ(STATUS_NOERROR, Start(FLOW_CONTROL_FILTER, FilterMsg(4, 0x7FF), FilterMsg(4, 0x7E8), &flow, &id));
    EXPECT_EQ((std::vector<uint64_t>{0x7E0}), AcceptanceOpened());
    EXPECT_TRUE(tracedStartingWith("Vector hard Flow Filter added canid=0x07E0 "));
    EXPECT_EQ(0, theModule.m_passFilterCount);  // no copy while the maker's scheme is off

    ASSERT_EQ(STATUS_NOERROR, Start(FLOW_CONTROL_FILTER, FilterMsg(4, 0x7FF), FilterMsg(4, 0x7E8), &flow, &id));
    EXPECT_TRUE(traced("m_flowFilter reused..."));
    EXPECT_EQ(1u, AcceptanceOpened().size());
}

TEST_F(FiltersTest, MakersSchemeCopiesFlowFilterIntoMissingPassFilter) {
    theModule.m_ExtAddressing = 1;
    uint32_t id = 0;
    PASSTHRU_MSG flow = FilterMsg(4, 0x6F1);
    ASSERT_EQ(STATUS_NOERROR, Start(FLOW_CONTROL_FILTER, FilterMsg(4, 0x7FF), FilterMsg(4, 0x640), &flow, &id));
    EXPECT_TRUE(traced("ORV-Extadressing Rx (flowFilter) Id = 06f1"));
    EXPECT_TRUE(traced("Inserted passfilter"));
    ASSERT_EQ(1, theModule.m_passFilterCount);
    const FilterRecord &copy = *theModule.m_passFilter.front();
    EXPECT_EQ(0x640u, copy.pattern);
    EXPECT_EQ(0xF1, copy.b_ExtendedAdressRx);
    EXPECT_EQ(id, copy.filterId);
    EXPECT_EQ(0x6F1u, copy.flowId);

    EXPECT_EQ(STATUS_NOERROR, PassThruStopMsgFilter(1, id));
    EXPECT_EQ(0, theModule.m_passFilterCount);
    EXPECT_EQ(1, theModule.m_flowFilterCount);
    EXPECT_EQ(STATUS_NOERROR, PassThruStopMsgFilter(1, id));
    EXPECT_EQ(0, theModule.m_flowFilterCount);
}

TEST_F(FiltersTest, MakersSchemeUpdatesExistingPassFiltersOfThePattern) {
    theModule.m_ExtAddressing = 1;
    Pass(0x640);
    uint32_t id = 0;
    PASSTHRU_MSG flow = FilterMsg(4, 0x6F1);
    ASSERT_EQ(STATUS_NOERROR, Start(FLOW_CONTROL_FILTER, FilterMsg(4, 0x7FF), FilterMsg(4, 0x640), &flow, &id));
    EXPECT_TRUE(traced("Updated passfilter b_ExtendedAdressRx!!"));
    ASSERT_EQ(1, theModule.m_passFilterCount);
    EXPECT_EQ(0xF1, theModule.m_passFilter.front()->b_ExtendedAdressRx);
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

TEST_F(FiltersTest, UnknownFilterTypeUsesUpAnId) {
    uint32_t id = 0;
    EXPECT_EQ(ERR_NOT_SUPPORTED, Start(4, FilterMsg(4, 0x7FF), FilterMsg(4, 0x7E8), nullptr, &id));
    EXPECT_EQ(1u, id);
    EXPECT_EQ(0, theModule.m_passFilterCount + theModule.m_blockFilterCount + theModule.m_flowFilterCount);
    EXPECT_EQ(2u, Pass(0x7E8));
}

TEST_F(FiltersTest, BadMessagesAreRefusedWithoutUsingAnId) {
    uint32_t id = 0xAAAA;
    EXPECT_EQ(ERR_INVALID_MSG, Start(PASS_FILTER, FilterMsg(3, 0x7FF), FilterMsg(4, 0x7E8), nullptr, &id));
    EXPECT_EQ(ERR_INVALID_MSG, Start(PASS_FILTER, FilterMsg(6, 0x7FF), FilterMsg(4, 0x7E8), nullptr, &id));
    PASSTHRU_MSG mask = FilterMsg(4, 0x7FF), pattern = FilterMsg(4, 0x7E8);
    EXPECT_EQ(ERR_INVALID_MSG, PassThruStartMsgFilter(1, PASS_FILTER, nullptr, &pattern, nullptr, &id));
    EXPECT_TRUE(traced("MaskMsg         void pointer!"));
    EXPECT_EQ(ERR_INVALID_MSG, PassThruStartMsgFilter(1, PASS_FILTER, &mask, nullptr, nullptr, &id));
    EXPECT_EQ(ERR_NULL_PARAMETER, PassThruStartMsgFilter(1, PASS_FILTER, &mask, &pattern, nullptr, nullptr));
    EXPECT_TRUE(traced("PassThruStartMsgFilter pFilterID is a NULL pointer"));
    EXPECT_EQ(0xAAAAu, id);
    EXPECT_EQ(0, theModule.m_passFilterCount);
    EXPECT_EQ(1u, Pass(0x7E8));
}

TEST_F(FiltersTest, RefusedHardwareAcceptanceKeepsTheFilter) {
    ASSERT_EQ(0, vxlsim_fail("xlCanAddAcceptanceRange", XL_ERR_INVALID_ACCESS, 1));
    TraceCapture quiet(1);
    uint32_t id = 0;
    EXPECT_EQ(STATUS_NOERROR, Start(PASS_FILTER, FilterMsg(4, 0x7FF), FilterMsg(4, 0x7E8), nullptr, &id));
    EXPECT_EQ(1, theModule.m_passFilterCount);
    bool reported = false;
    for (const auto &m : quiet.messages())
        reported |= m.rfind("xlCanSetChannelAcceptance FAILED!!!! 0x0070 ", 0) == 0;
    EXPECT_TRUE(reported);
}

TEST_F(FiltersTest, StopOfUnknownOrOversizedIdFindsNothing) {
    const uint32_t id = Pass(0x7E8);
    EXPECT_EQ(ERR_NOT_SUPPORTED, PassThruStopMsgFilter(1, id + 0x10000));
    EXPECT_EQ(ERR_NOT_SUPPORTED, PassThruStopMsgFilter(1, 77));
    EXPECT_EQ(1, theModule.m_passFilterCount);
}

}  // namespace
