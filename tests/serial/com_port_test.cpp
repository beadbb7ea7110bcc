// The serial component against the scripted double: every step, call order and failure message.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "pump.hpp"
#include "scripted_api.hpp"
#include "serial/com_port.hpp"

namespace nira::serial {
namespace {

using nira::testing::messageOf;
using nira::testing::pumpFor;
using nira::testing::pumpUntil;
using nira::testing::ScriptedSerialApi;
using ::testing::ElementsAre;
using namespace nira::platform;

class ComPortTest : public ::testing::Test {
  protected:
    void SetUp() override { platform::MainThreadQueue::instance().bindToCurrentThread(); }
    ScriptedSerialApi api;
};

TEST_F(ComPortTest, OpenConfiguresTheDeviceStepByStep) {
    TBComPort port(api);
    EXPECT_TRUE(port.OpenPort());
    EXPECT_TRUE(port.IsOpen());
    const auto calls = api.calls();
    ASSERT_GE(calls.size(), 5U);
    EXPECT_EQ(calls[0], "CreateFileA \\\\.\\COM2");
    EXPECT_EQ(calls[1], "SetupComm 2048 2048");
    EXPECT_EQ(calls[2], "SetCommState");
    EXPECT_EQ(calls[3], "SetCommTimeouts");
    EXPECT_EQ(calls[4], "SetCommMask 0x05BD");

    const DCB dcb = api.dcbs().at(0);
    EXPECT_EQ(dcb.DCBlength, 28U);
    EXPECT_EQ(dcb.BaudRate, 9600U);
    EXPECT_EQ(ScriptedSerialApi::flagWord(dcb), 0x1011U);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, 0);
    EXPECT_EQ(dcb.StopBits, 0);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.XonLim, 0);
    EXPECT_EQ(dcb.ErrorChar | dcb.EofChar | dcb.EvtChar, 0);

    const COMMTIMEOUTS t = api.timeouts().at(0);
    EXPECT_EQ(t.ReadIntervalTimeout, 0xFFFFFFFFU);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0U);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0U);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100U);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000U);

    // A second open does nothing.
    api.clearCalls();
    EXPECT_TRUE(port.OpenPort());
    EXPECT_TRUE(api.calls().empty());
    EXPECT_EQ(api.openDevices(), 1);
}

TEST_F(ComPortTest, LineSettingsRecordFollowsEveryProperty) {
    struct Case {
        TParity parity;
        DWORD flags;
        int parityCode;
    };
    for (const Case& c : {Case{paNone, 0x1011, 0}, Case{paOdd, 0x1013, 1}, Case{paEven, 0x1013, 2},
                          Case{paMark, 0x1013, 3}, Case{paSpace, 0x1013, 4}}) {
        ScriptedSerialApi local;
        TBComPort port(local);
        port.SetParity(c.parity);
        port.OpenPort();
        const DCB dcb = local.dcbs().at(0);
        EXPECT_EQ(ScriptedSerialApi::flagWord(dcb), c.flags) << c.parity;
        EXPECT_EQ(dcb.Parity, c.parityCode);
    }
    for (int size = bs5; size <= bs8; ++size) {
        ScriptedSerialApi local;
        TBComPort port(local);
        port.SetByteSize(static_cast<TByteSize>(size));
        port.SetStopBits(sb2);
        port.SetBaudRate(br256000);
        port.OpenPort();
        EXPECT_EQ(local.dcbs().at(0).ByteSize, size + 5);
        EXPECT_EQ(local.dcbs().at(0).StopBits, 2);
        EXPECT_EQ(local.dcbs().at(0).BaudRate, 256000U);
    }
}

TEST_F(ComPortTest, SettersReconfigureAnOpenPortOnlyOnChange) {
    TBComPort port(api);
    port.SetParity(paEven);
    port.SetStopBits(sb1_5);
    port.OpenPort();
    // Once the watcher waits, every call recorded from here on is the setters'.
    ASSERT_TRUE(pumpUntil([&] { return api.waitPending(); }));
    api.clearCalls();

    port.SetBaudRate(br9600);  // equal: nothing
    EXPECT_TRUE(api.dcbs().empty());
    port.SetBaudRate(br115200);  // a complete record with the current framing
    ASSERT_EQ(api.dcbs().size(), 1U);
    EXPECT_EQ(api.dcbs()[0].BaudRate, 115200U);
    EXPECT_EQ(api.dcbs()[0].Parity, 2);
    EXPECT_EQ(api.dcbs()[0].StopBits, 1);
    EXPECT_EQ(api.dcbs()[0].ByteSize, 8);

    port.Timeouts().SetReadInterval(-5);
    ASSERT_EQ(api.timeouts().size(), 1U);
    EXPECT_EQ(api.timeouts()[0].ReadIntervalTimeout, 0xFFFFFFFFU);
    port.Timeouts().SetReadInterval(-5);  // equal: nothing
    EXPECT_EQ(api.timeouts().size(), 1U);

    TComTimeouts main;
    main.SetReadInterval(1);
    main.SetReadTotalConstant(1);
    main.SetWriteTotalMultiplier(0);
    main.SetWriteTotalConstant(0);
    port.SetTimeouts(main);  // applied once, whatever changed
    ASSERT_EQ(api.timeouts().size(), 2U);
    EXPECT_EQ(api.timeouts()[1].ReadIntervalTimeout, 1U);
    EXPECT_EQ(api.timeouts()[1].ReadTotalTimeoutConstant, 1U);
    EXPECT_EQ(api.timeouts()[1].WriteTotalTimeoutConstant, 0U);

    port.SetInBufSize(1025);
    EXPECT_EQ(port.InBufSize(), 1024);
    EXPECT_EQ(api.calls().back(), "SetupComm 1024 2048");
    api.clearCalls();
    port.SetInBufSize(1024);  // equal to what is stored: nothing applied
    EXPECT_TRUE(api.calls().empty());
    port.SetOutBufSize(-3);
    EXPECT_EQ(port.OutBufSize(), -3);
    port.SetOutBufSize(1);
    EXPECT_EQ(port.OutBufSize(), 0);
}

TEST_F(ComPortTest, PortIsFrozenWhileOpenSyncMethodOnlyForAChange) {
    TBComPort port(api);
    port.SetPort("COM7");
    port.OpenPort();
    const char* frozen = EComPort::Message(cmPortOpen);
    EXPECT_EQ(messageOf([&] { port.SetPort("COM7"); }), frozen);
    EXPECT_EQ(messageOf([&] { port.SetPort("COM8"); }), frozen);
    EXPECT_EQ(port.Port(), "COM7");
    EXPECT_EQ(messageOf([&] { port.SetSyncMethod(smThreadSync); }), "(no failure)");
    EXPECT_EQ(messageOf([&] { port.SetSyncMethod(smNone); }), frozen);
    EXPECT_EQ(port.SyncMethod(), smThreadSync);
    port.ClosePort();
    port.SetPort("COM8");
    EXPECT_EQ(port.Port(), "COM8");
}

TEST_F(ComPortTest, OpenFailuresLeaveNoHandle) {
    struct Case {
        DWORD error;
        int message;
    };
    for (const Case& c : {Case{ERROR_FILE_NOT_FOUND, cmNoSuchPort},
                          Case{ERROR_ACCESS_DENIED, cmPortBusy}, Case{123, cmSetupCommFailed}}) {
        ScriptedSerialApi local;
        local.createError = c.error;
        TBComPort port(local);
        EXPECT_EQ(messageOf([&] { port.OpenPort(); }), EComPort::Message(c.message));
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ(port.DeviceHandle(), INVALID_HANDLE_VALUE);
    }
    // A configuration step that fails closes the device again and starts no watcher.
    for (const char* step : {"SetupComm", "SetCommState", "SetCommTimeouts"}) {
        ScriptedSerialApi local;
        local.failNext(step);
        TBComPort port(local);
        EXPECT_NE(messageOf([&] { port.OpenPort(); }), "(no failure)");
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ(local.openDevices(), 0) << step;
        EXPECT_EQ(port.Watcher(), nullptr);
    }
}

TEST_F(ComPortTest, CloseLowersLinesAbortsStopsWatcherAndClosesInThatOrder) {
    TBComPort port(api);
    port.OpenPort();
    ASSERT_TRUE(pumpUntil([&] { return api.waitPending(); }));
    api.clearCalls();
    EXPECT_TRUE(port.ClosePort());
    EXPECT_FALSE(port.IsOpen());
    // The watcher waits for its pending wait to finish before its record goes out of scope.
    EXPECT_THAT(api.calls(),
                ElementsAre("EscapeCommFunction 6", "EscapeCommFunction 4", "PurgeComm 3",
                            "SetCommMask 0x0000", "GetOverlappedResult wait", "PurgeComm 12",
                            "CloseHandle device"));
    EXPECT_EQ(api.openEvents(), 0);

    api.clearCalls();
    EXPECT_TRUE(port.ClosePort());  // closed: nothing touches the device
    EXPECT_TRUE(api.calls().empty());
}

TEST_F(ComPortTest, FailedCloseStepKeepsThePortOpenAndCanBeRepeated) {
    TBComPort port(api);
    port.OpenPort();
    api.failNext("EscapeCommFunction");
    EXPECT_EQ(messageOf([&] { port.ClosePort(); }), EComPort::Message(cmEscapeFailed));
    EXPECT_TRUE(port.IsOpen());
    EXPECT_NE(port.Watcher(), nullptr);
    api.failNext("PurgeComm");
    EXPECT_EQ(messageOf([&] { port.ClosePort(); }), EComPort::Message(cmPurgeFailed));
    EXPECT_TRUE(port.IsOpen());
    EXPECT_TRUE(port.ClosePort());
    EXPECT_EQ(api.openDevices(), 0);
}

// Drivers fail a pulled adapter's calls with many codes. Whichever, the loss is told as such,
// once; the device is let go at once; Stop goes back to idle quietly.
TEST_F(ComPortTest, APulledDeviceIsLetGoWhateverCodeItsDriverFailsWith) {
    const DWORD codes[] = {ERROR_GEN_FAILURE, ERROR_ACCESS_DENIED,        ERROR_OPERATION_ABORTED,
                           ERROR_BAD_COMMAND, ERROR_DEVICE_NOT_CONNECTED, ERROR_DEVICE_REMOVED};
    for (const DWORD code : codes) {
        ScriptedSerialApi pulled;
        TBComPort port(pulled);
        port.SetPort("COM7");
        std::vector<std::string> reports;
        port.OnWatcherFailure = [&](TBComPort*, std::exception_ptr e) {
            try {
                std::rethrow_exception(e);
            } catch (const EComPort& failure) {
                reports.push_back(failure.what());
            }
            EXPECT_EQ(pulled.openDevices(), 0) << code << ": still held while telling";
        };
        ASSERT_TRUE(port.OpenPort());
        ASSERT_TRUE(pumpUntil([&] { return pulled.waitPending(); }));
        pulled.pull(code);
        ASSERT_TRUE(pumpUntil([&] { return port.Watcher()->finished(); })) << code;
        pumpFor(std::chrono::milliseconds(20));
        EXPECT_EQ(reports, std::vector<std::string>{DeviceLostMessage("COM7")}) << code;
        EXPECT_TRUE(port.DeviceLost()) << code;
        EXPECT_TRUE(port.IsOpen()) << code << ": Stop still has something to do";
        EXPECT_EQ(pulled.openDevices(), 0) << code;
        EXPECT_EQ(messageOf([&] { port.ClosePort(); }), "(no failure)") << code;
        EXPECT_FALSE(port.IsOpen()) << code;
        EXPECT_EQ(pulled.openEvents(), 0) << code;
    }
}

// Pulled while nobody was looking (no wait pending): Stop finds out and still lets go.
TEST_F(ComPortTest, StopLetsGoOfADeviceThatAnswersNothing) {
    TBComPort port(api);
    port.OnWatcherFailure = [](TBComPort*, std::exception_ptr) {};
    ASSERT_TRUE(port.OpenPort());
    api.failNext("EscapeCommFunction");
    api.failNext("ClearCommError", 100);
    EXPECT_EQ(messageOf([&] { port.ClosePort(); }), "(no failure)");
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(api.openDevices(), 0);
}

TEST_F(ComPortTest, DestroyingAnOpenPortClosesIt) {
    {
        TBComPort port(api);
        port.OpenPort();
    }
    const auto calls = api.calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "EscapeCommFunction 6"), calls.end());
    EXPECT_EQ(api.openDevices(), 0);
    EXPECT_EQ(api.openEvents(), 0);
}

TEST_F(ComPortTest, TransfersOnAClosedPortFailWithTheirMessages) {
    TBComPort port(api);
    std::string text;
    EXPECT_EQ(messageOf([&] { port.WriteText("<"); }), EComPort::Message(cmWriteError));
    EXPECT_EQ(messageOf([&] { port.ReadText(text, 400); }), EComPort::Message(cmReadError));
    EXPECT_EQ(messageOf([&] { port.BytesWaiting(); }), EComPort::Message(cmClearCommErrorFailed));
    EXPECT_EQ(messageOf([&] { port.ModemSignals(); }), EComPort::Message(cmModemStatusFailed));
    EXPECT_EQ(messageOf([&] { port.AwaitOp(nullptr); }), EComPort::Message(cmBadAsync));
    EXPECT_EQ(messageOf([&] { port.StartRead(nullptr, 1, nullptr); }),
              EComPort::Message(cmBadAsync));
    EXPECT_EQ(api.openEvents(), 0);  // the records were released after the failures
}

TEST_F(ComPortTest, ReadsAndWritesOnAnOpenPort) {
    TBComPort port(api);
    port.OpenPort();
    EXPECT_EQ(port.WriteText(""), 0);
    EXPECT_EQ(port.WriteText("<"), 1);
    EXPECT_EQ(api.written(), "<");

    api.incoming = std::string(">\0\x01\x02\x03\x04\x05\x06\x07\xFF", 10);
    std::string text = "stale";
    EXPECT_EQ(port.ReadText(text, 400), 10);
    EXPECT_EQ(text, std::string(">\0\x01\x02\x03\x04\x05\x06\x07\xFF", 10));
    EXPECT_EQ(port.ReadText(text, 0), 0);
    EXPECT_EQ(text, "");

    TOverlappedOp* op = nullptr;
    port.NewOverlappedOp(op);
    EXPECT_EQ(port.AwaitOp(op), 0);  // nothing started: the signalled event returns at once
    port.FreeOverlappedOp(op);
    EXPECT_EQ(op, nullptr);

    api.modemStatus = MS_DSR_ON | MS_RLSD_ON;
    EXPECT_EQ(port.ModemSignals(), (TLineSignals{lsDSR, lsRLSD}));
}

class DeliveryTest : public ComPortTest, public ::testing::WithParamInterface<TSyncMethod> {};

TEST_P(DeliveryTest, ErrorComesBeforeDataInOnePass) {
    TBComPort port(api);
    port.SetSyncMethod(GetParam());
    std::vector<std::string> seen;
    port.OnError = [&](TBComPort*, TComErrors e) {
        seen.push_back(e.contains(ceFrame) ? "error frame" : "error");
    };
    port.OnRxChar = [&](TBComPort*, std::int32_t count) {
        seen.push_back("rx " + std::to_string(count));
    };
    port.OpenPort();
    api.errorWord = CE_FRAME;
    api.inQueue = 10;
    api.raiseEvents(EV_RXCHAR | EV_ERR);
    ASSERT_TRUE(pumpUntil([&] { return seen.size() >= 2; }));
    EXPECT_THAT(seen, ElementsAre("error frame", "rx 10"));
    port.ClosePort();
}

INSTANTIATE_TEST_SUITE_P(ThreadAndWindow, DeliveryTest,
                         ::testing::Values(smThreadSync, smWindowSync));

TEST_F(ComPortTest, ParityErrorsCountOnlyWithParity) {
    for (TParity parity : {paNone, paEven}) {
        ScriptedSerialApi local;
        TBComPort port(local);
        port.SetParity(parity);
        std::vector<TComErrors> errors;
        port.OnError = [&](TBComPort*, TComErrors e) { errors.push_back(e); };
        port.OpenPort();
        ASSERT_TRUE(pumpUntil([&] { return local.waitPending(); }));
        local.clearCalls();
        local.errorWord = CE_RXPARITY;
        local.raiseEvents(EV_ERR);
        // The pass is over when the error word was asked for and the watcher waits again.
        const auto asked = [&] {
            const auto calls = local.calls();
            return std::find(calls.begin(), calls.end(), "ClearCommError") != calls.end();
        };
        ASSERT_TRUE(pumpUntil([&] { return asked() && local.waitPending(); }));
        if (parity == paNone) {
            EXPECT_TRUE(errors.empty());
        } else {
            ASSERT_EQ(errors.size(), 1U);
            EXPECT_EQ(errors[0], TComErrors{ceRxParity});
        }
        port.ClosePort();
    }
}

TEST_F(ComPortTest, DataAlreadyReadOrNoHandlerDeliversNothingButAsksTheQueue) {
    TBComPort port(api);
    int calls = 0;
    port.OpenPort();
    api.inQueue = 5;
    api.raiseEvents(EV_RXCHAR);  // no handler yet: the count is still asked for
    ASSERT_TRUE(pumpUntil([&] {
        const auto c = api.calls();
        return std::count(c.begin(), c.end(), "ClearCommError") == 1 && api.waitPending();
    }));
    port.OnRxChar = [&](TBComPort*, std::int32_t) { ++calls; };
    api.inQueue = 0;
    api.raiseEvents(EV_RXCHAR);
    ASSERT_TRUE(pumpUntil([&] {
        const auto c = api.calls();
        return std::count(c.begin(), c.end(), "ClearCommError") == 2 && api.waitPending();
    }));
    EXPECT_EQ(calls, 0);
    port.ClosePort();
}

TEST_F(ComPortTest, SignalDeliveriesReportTheCurrentStateInWindowMode) {
    TBComPort port(api);
    port.SetSyncMethod(smWindowSync);
    std::vector<std::string> seen;
    port.OnRLSDChange = [&](TBComPort*, bool on) { seen.push_back(on ? "rlsd on" : "rlsd off"); };
    port.OnRing = [&](TBComPort*) { seen.push_back("ring"); };
    port.OpenPort();
    api.modemStatus = MS_RLSD_ON;
    api.raiseEvents(EV_RLSD);
    api.raiseEvents(EV_RING);
    ASSERT_TRUE(pumpUntil([&] { return seen.size() >= 2; }));
    pumpFor(std::chrono::milliseconds(20));
    EXPECT_THAT(seen, ElementsAre("rlsd on", "ring"));
    port.ClosePort();
}

TEST_F(ComPortTest, StopWinsOverAFinishedWait) {
    TBComPort port(api);
    int deliveries = 0;
    port.OnRxChar = [&](TBComPort* sender, std::int32_t) {
        ++deliveries;
        // While the watcher waits for this handler: the next wait has finished and stop is set.
        api.raiseEvents(EV_RXCHAR);
        api.SetEvent(sender->Watcher()->StopSignal);
    };
    port.OpenPort();
    api.inQueue = 3;
    api.raiseEvents(EV_RXCHAR);
    ASSERT_TRUE(pumpUntil([&] { return port.Watcher()->finished(); }));
    EXPECT_EQ(deliveries, 1);
    EXPECT_TRUE(port.ClosePort());
}

TEST_F(ComPortTest, ClosePortRunsDeliveriesAlreadyHandedToTheMainThread) {
    TBComPort port(api);
    std::vector<bool> openDuringDelivery;
    port.OnRxChar = [&](TBComPort* sender, std::int32_t) {
        openDuringDelivery.push_back(sender->IsOpen());
    };
    port.OpenPort();
    api.inQueue = 1;
    api.raiseEvents(EV_RXCHAR);
    // Until the watcher has handed the delivery over, without pumping it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!platform::MainThreadQueue::instance().hasPending() &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(platform::MainThreadQueue::instance().hasPending());
    EXPECT_TRUE(port.ClosePort());
    EXPECT_THAT(openDuringDelivery, ElementsAre(true));
}

TEST_F(ComPortTest, RaisingHandlerEndsTheWatcherIsReportedAndReopenRestores) {
    TBComPort port(api);
    int deliveries = 0;
    std::vector<std::string> reports;
    port.OnRxChar = [&](TBComPort*, std::int32_t) {
        ++deliveries;
        throw EComPort(cmReadError);
    };
    port.OnWatcherFailure = [&](TBComPort*, std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& ex) {
            reports.push_back(ex.what());
        }
    };
    port.OpenPort();
    api.inQueue = 4;
    api.raiseEvents(EV_RXCHAR);
    // The report is handed to the main thread after the watcher ends.
    ASSERT_TRUE(pumpUntil([&] { return port.Watcher()->finished() && !reports.empty(); }));
    EXPECT_THAT(reports, ElementsAre(EComPort::Message(cmReadError)));
    EXPECT_TRUE(port.IsOpen());  // still open: Stop and Start recover

    api.raiseEvents(EV_RXCHAR);  // nobody watches any more
    pumpFor(std::chrono::milliseconds(30));
    EXPECT_EQ(deliveries, 1);

    EXPECT_TRUE(port.ClosePort());
    port.OnRxChar = [&](TBComPort*, std::int32_t) { ++deliveries; };
    port.OpenPort();
    api.raiseEvents(EV_RXCHAR);
    // The double still holds the event raised while nobody watched, so the new watcher may
    // deliver it as well: one pump can see the count step past 2.
    ASSERT_TRUE(pumpUntil([&] { return deliveries >= 2; }));
    port.ClosePort();
    EXPECT_EQ(api.openEvents(), 0);
}

TEST_F(ComPortTest, DeviceGoneEndsTheWatcherInsteadOfSpinning) {
    TBComPort port(api);
    std::atomic<int> reports{0};
    port.OnWatcherFailure = [&](TBComPort*, std::exception_ptr) { ++reports; };
    port.OpenPort();
    ASSERT_TRUE(pumpUntil([&] { return api.waitPending(); }));
    // The wait completes with a failure and the device no longer answers.
    api.failNext("GetOverlappedResult", 1000);
    api.failNext("ClearCommError", 1000);
    api.raiseEvents(EV_RXCHAR);
    ASSERT_TRUE(pumpUntil([&] { return port.Watcher()->finished() && reports.load() > 0; }));
    pumpFor(std::chrono::milliseconds(20));
    EXPECT_EQ(reports.load(), 1);
    api.failNext("GetOverlappedResult", 0);
    api.failNext("ClearCommError", 0);
    EXPECT_TRUE(port.ClosePort());
}

TEST_F(ComPortTest, FailedWaitForEventsEndsTheLoopLikeStop) {
    TBComPort port(api);
    api.failNext("WaitForMultipleObjects");
    port.OpenPort();
    ASSERT_TRUE(pumpUntil([&] { return port.Watcher()->finished(); }));
    const auto calls = api.calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "PurgeComm 12"), calls.end());
    EXPECT_TRUE(port.ClosePort());
    EXPECT_EQ(api.openEvents(), 0);
}

TEST(ComPortMasks, TranslationKeepsExactlyTheEightBits) {
    EXPECT_EQ(EventsToMask(kAllLineEvents), 0x05BDU);
    EXPECT_EQ(EventsFromMask(0xFFFF), kAllLineEvents);
    EXPECT_EQ(EventsFromMask(0x0002 | 0x0040 | 0x0200), TLineEvents{});
    EXPECT_EQ(EventsFromMask(EV_RXCHAR | EV_ERR), (TLineEvents{leRxChar, leError}));
}

TEST(ComPortMessages, FifteenFixedTexts) {
    EXPECT_STREQ(EComPort::Message(cmNoSuchPort),
                 "\u0421\u043f\u0440\u043e\u0431\u0430 \u0432\u0456\u0434\u043a\u0440\u0438\u0442"
                 "\u0438 \u043d\u0435\u0456\u0441\u043d\u0443\u044e\u0447\u0438\u0439 "
                 "\u0421\u041e\u041c-\u043f\u043e\u0440\u0442");  // Cyrillic С, О, М
    EXPECT_STREQ(EComPort::Message(cmPortOpen),
                 "Неможна змінювати властивості, доки порт відкритий");
    EXPECT_STREQ(EComPort::Message(cmRegistryFailed), "Помилка звернення до системного реєстру");
    EXPECT_STREQ(EComPort(cmSetupCommFailed).what(), "Помилка функції SetupComm");
}

}  // namespace
}  // namespace nira::serial
