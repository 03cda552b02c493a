/*
 * wfp_verifier_test.cpp
 *
 * The unload report names every WFP leftover by kind: a callout still registered, a flow
 * context still associated, a classify handle still held, a classify or an operation
 * still pended, writable layer data never applied, a redirect handle not destroyed. Each
 * case leaves one behind, checks the report, then gives it back. A driver that unloads
 * with a callout registered is a finding, and WFP never calls that callout again.
 */
#include "wfp_test_support.h"

#include <winsim/driver.h>
#include <winsim/verifier.h>

using namespace wfptest;

namespace {

class LeftoverTest : public WfpTest {
protected:
    void SetUp() override
    {
        WfpTest::SetUp();
        ASSERT_EQ(callout.Register(), STATUS_SUCCESS);
    }

    // The unload report names `kind` among what is left.
    static void ExpectReported(const std::string &kind)
    {
        winsim::ViolationCapture capture;
        EXPECT_FALSE(winsim::CheckNothingOutstanding("DriverUnload"));
        bool found = false;
        for (const winsim::Violation &v : capture.Violations()) {
            found = found || v.message.find("left behind: " + kind + ":") != std::string::npos;
        }
        EXPECT_TRUE(found) << "no '" << kind << "' in the unload report";
    }

    void Filter(const GUID &layer)
    {
        service.AddCalloutAndFilter(CalloutFilter(layer, callout.Key()));
    }

    TestCallout callout{MakeGuid(0x800)};
    Service service;
};

TEST_F(LeftoverTest, RegisteredCallout) { ExpectReported("callout"); }

TEST_F(LeftoverTest, AssociatedFlowContext)
{
    winsim::network::Connection c = Connect(PlainRequest());
    ASSERT_EQ(FwpsFlowAssociateContext0(c.FlowHandle(), FWPS_LAYER_ALE_AUTH_CONNECT_V4, callout.Id(), 1),
              STATUS_SUCCESS);
    ExpectReported("flow-context");
    EXPECT_EQ(FwpsFlowRemoveContext0(c.FlowHandle(), FWPS_LAYER_ALE_AUTH_CONNECT_V4, callout.Id()), STATUS_SUCCESS);
}

TEST_F(LeftoverTest, HeldClassifyHandle)
{
    Filter(FWPM_LAYER_ALE_AUTH_CONNECT_V4);
    UINT64 handle = 0;
    callout.classify = [&](const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *, const void *ctx,
                           const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *out) {
        ASSERT_EQ(FwpsAcquireClassifyHandle0(const_cast<void *>(ctx), 0, &handle), STATUS_SUCCESS);
        out->actionType = FWP_ACTION_PERMIT;
    };
    Connect(PlainRequest());
    ExpectReported("classify-handle");
    FwpsReleaseClassifyHandle0(handle);
}

TEST_F(LeftoverTest, PendedClassifyAndUnappliedWritableData)
{
    Filter(FWPM_LAYER_ALE_CONNECT_REDIRECT_V4);
    UINT64 handle = 0;
    UINT64 filterId = 0;
    FWPS_CLASSIFY_OUT0 saved = {};
    callout.classify = [&](const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *, const void *ctx,
                           const FWPS_FILTER1 *f, UINT64, FWPS_CLASSIFY_OUT0 *out) {
        ASSERT_EQ(FwpsAcquireClassifyHandle0(const_cast<void *>(ctx), 0, &handle), STATUS_SUCCESS);
        filterId = f->filterId;
        saved = *out;
        ASSERT_EQ(FwpsPendClassify0(handle, f->filterId, 0, out), STATUS_SUCCESS);
        out->actionType = FWP_ACTION_BLOCK;
        out->rights &= ~FWPS_RIGHT_ACTION_WRITE;
    };
    winsim::network::Connection c = Connect(PlainRequest());
    ASSERT_EQ(c.State(), Outcome::Pending);
    PVOID data = nullptr;
    ASSERT_EQ(FwpsAcquireWritableLayerDataPointer0(handle, filterId, 0, &data, &saved), STATUS_SUCCESS);

    ExpectReported("pended-classify");
    ExpectReported("writable-layer-data");

    FwpsApplyModifiedLayerData0(handle, data, FWPS_CLASSIFY_FLAG_REAUTHORIZE_IF_MODIFIED_BY_OTHERS);
    saved.actionType = FWP_ACTION_PERMIT;
    FwpsCompleteClassify0(handle, 0, &saved);
    FwpsReleaseClassifyHandle0(handle);
    EXPECT_EQ(c.WaitSettled(), Outcome::Connected);
}

TEST_F(LeftoverTest, PendedOperation)
{
    Filter(FWPM_LAYER_ALE_AUTH_CONNECT_V4);
    HANDLE completion = nullptr;
    callout.classify = [&](const FWPS_INCOMING_VALUES0 *v, const FWPS_INCOMING_METADATA_VALUES0 *m, const void *,
                           const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *out) {
        if ((v->incomingValue[FWPS_FIELD_ALE_AUTH_CONNECT_V4_FLAGS].value.uint32 & FWP_CONDITION_FLAG_IS_REAUTHORIZE) !=
            0) {
            out->actionType = FWP_ACTION_PERMIT;
            return;
        }
        ASSERT_EQ(FwpsPendOperation0(m->completionHandle, &completion), STATUS_SUCCESS);
        out->actionType = FWP_ACTION_BLOCK;
        out->flags |= FWPS_CLASSIFY_OUT_FLAG_ABSORB;
        out->rights &= ~FWPS_RIGHT_ACTION_WRITE;
    };
    winsim::network::Connection c = Connect(PlainRequest());
    ExpectReported("pended-operation");
    FwpsCompleteOperation0(completion, nullptr);
    EXPECT_EQ(c.WaitSettled(), Outcome::Connected);
}

TEST_F(LeftoverTest, RedirectHandle)
{
    GUID provider = MakeGuid(0x801);
    HANDLE handle = nullptr;
    ASSERT_EQ(FwpsRedirectHandleCreate0(&provider, 0, &handle), STATUS_SUCCESS);
    ExpectReported("redirect-handle");
    FwpsRedirectHandleDestroy0(handle);
}


// A WDM driver that registers one callout under its device and unloads without
// unregistering it.
const GUID kForgottenKey = MakeGuid(0x880);

VOID NTAPI ForgottenClassify(const FWPS_INCOMING_VALUES0 *, const FWPS_INCOMING_METADATA_VALUES0 *, void *,
                             const void *, const FWPS_FILTER1 *, UINT64, FWPS_CLASSIFY_OUT0 *out)
{
    ADD_FAILURE() << "WFP called a callout of an unloaded driver";
    out->actionType = FWP_ACTION_PERMIT;
}

NTSTATUS NTAPI ForgottenNotify(FWPS_CALLOUT_NOTIFY_TYPE, const GUID *, FWPS_FILTER1 *) { return STATUS_SUCCESS; }

VOID ForgetfulUnload(PDRIVER_OBJECT DriverObject) { IoDeleteDevice(DriverObject->DeviceObject); }

NTSTATUS ForgetfulEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, 0, nullptr, FILE_DEVICE_NETWORK, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FWPS_CALLOUT1 callout = {};
    callout.calloutKey = kForgottenKey;
    callout.classifyFn = ForgottenClassify;
    callout.notifyFn = ForgottenNotify;
    DriverObject->DriverUnload = ForgetfulUnload;
    return FwpsCalloutRegister1(device, &callout, nullptr);
}

TEST_F(WfpTest, UnloadingWithACalloutRegisteredIsReportedAndWfpNeverCallsItAgain)
{
    Service service;
    ASSERT_EQ(winsim::LoadDriver(ForgetfulEntry, "forgetful"), STATUS_SUCCESS);
    service.AddCalloutAndFilter(CalloutFilter(FWPM_LAYER_ALE_AUTH_CONNECT_V4, kForgottenKey));
    {
        winsim::ViolationCapture capture;
        winsim::UnloadDriver("forgetful");
        bool reported = false;
        for (const winsim::Violation &v : capture.Violations()) {
            reported = reported || (v.call == "UnloadDriver" && v.message.find("still registered") != std::string::npos);
        }
        EXPECT_TRUE(reported) << "no finding for the callout left registered";
    }
    {
        winsim::ViolationCapture capture;
        EXPECT_EQ(Connect(PlainRequest()).State(), Outcome::Blocked) << "its filter acts as for an unregistered callout";
        EXPECT_TRUE(capture.Caught("classifyFn/notifyFn"));
    }
    GUID key = kForgottenKey;
    EXPECT_EQ(FwpsCalloutUnregisterByKey0(&key), STATUS_SUCCESS);
}

}  // namespace
