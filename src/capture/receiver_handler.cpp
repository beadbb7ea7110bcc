#include "capture/receiver_handler.hpp"

#include <thread>

#include "capture/local_time.hpp"
#include "receiver/log_text.hpp"
#include "receiver/text_codec.hpp"
#include "receiver/time_stamp.hpp"

namespace nira::capture {

void sleepFor(std::chrono::milliseconds span) {
    std::this_thread::sleep_for(span);
}

serial::TComTimeouts receiverTimeouts() {
    serial::TComTimeouts timeouts;
    timeouts.SetReadInterval(1);
    timeouts.SetReadTotalMultiplier(0);
    timeouts.SetReadTotalConstant(1);
    timeouts.SetWriteTotalMultiplier(0);
    timeouts.SetWriteTotalConstant(0);
    return timeouts;
}

Arrival handleArrival(serial::TBComPort& port, const Sleeper& wait, const BeforeAnswer& record) {
    using receiver::ChunkKind;
    wait(kArrivalWait);
    Arrival arrival;
    port.ReadText(arrival.chunk, receiver::kMaxChunk);
    arrival.message = receiver::classifyChunk(arrival.chunk);
    switch (arrival.message.kind) {
        case ChunkKind::Unrecognised:
            arrival.logContent = receiver::unrecognisedLineContent(arrival.chunk);
            break;
        case ChunkKind::TestMessage:
            arrival.logContent = receiver::testLineContent(arrival.message.test);
            break;
        case ChunkKind::EventMessage:
            arrival.logContent = receiver::eventLogContent(arrival.message.event);
            break;
        case ChunkKind::Dropped:
            break;
    }
    arrival.acknowledged = receiver::isAcknowledged(arrival.message.kind);
    if (record) {
        record(arrival);
    }
    if (arrival.acknowledged) {
        port.WriteText(std::string(receiver::kAcknowledgement));
    }
    return arrival;
}

std::string logTimeStamp() {
    const std::string stamp =
        receiver::formatTimeStamp(capture::localClockNow(), capture::systemLocaleFormats());
#ifdef _WIN32
    return stamp;  // the system's code page already
#else
    return receiver::cp1251FromUtf8(stamp);
#endif
}

std::string stampedLogLine(std::string_view content) {
    return receiver::logLine(logTimeStamp(), content);
}

}  // namespace nira::capture
