#pragma once
// The receiver's side of a data arrival, the same for every front end: the wait, the read, the
// classification, the acknowledgement and the log line. No Qt; the window adds only what is
// visual, the console listener only where the lines go.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "receiver/message.hpp"
#include "serial/com_port.hpp"

namespace nira::capture {

using receiver::kArrivalWait;

struct Arrival {
    std::string chunk;  // what the read returned
    receiver::Classified message;
    bool acknowledged = false;
    // The log line's content (without time stamp and arrow); empty for a dropped chunk.
    std::string logContent;
};

// The port's time-outs for the receiver: a read returns about 1 ms after the last byte that came,
// writes have no time limit.
serial::TComTimeouts receiverTimeouts();

using Sleeper = std::function<void(std::chrono::milliseconds)>;
void sleepFor(std::chrono::milliseconds span);

// What a front end records before the receiver is answered (an answer is a promise that the
// message is kept): the log line, the spool's record. `acknowledged` says already whether "<"
// goes out next.
using BeforeAnswer = std::function<void(const Arrival&)>;

// Waits, reads up to 400 bytes, classifies them, lets `record` keep the message, and answers a
// test or event message with "<".
Arrival handleArrival(serial::TBComPort& port, const Sleeper& wait = sleepFor,
                      const BeforeAnswer& record = {});

// The local time stamp of a log line now, as Windows-1251 bytes.
std::string logTimeStamp();
// time stamp + " --> " + content: one log line's bytes.
std::string stampedLogLine(std::string_view content);

}  // namespace nira::capture
