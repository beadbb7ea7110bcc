#pragma once
// The line events in the order they are delivered, with their mask bits and deliveries: the one
// table that the translations, the watcher's hand-over and the window procedure go by.
#include <array>

#include "serial/com_port.hpp"

namespace nira::serial {

struct LineEventDelivery {
    TLineEvent event;
    DWORD bit;
    void (TBComPort::*deliver)();
};

inline constexpr std::array<LineEventDelivery, 8> kDeliveryOrder = {{
    {leError, platform::EV_ERR, &TBComPort::DeliverError},
    {leRxChar, platform::EV_RXCHAR, &TBComPort::DeliverRxChar},
    {leTxEmpty, platform::EV_TXEMPTY, &TBComPort::DeliverTxEmpty},
    {leRing, platform::EV_RING, &TBComPort::DeliverRing},
    {leCTS, platform::EV_CTS, &TBComPort::DeliverCTSChange},
    {leDSR, platform::EV_DSR, &TBComPort::DeliverDSRChange},
    {leRLSD, platform::EV_RLSD, &TBComPort::DeliverRLSDChange},
    {leRx80Full, platform::EV_RX80FULL, &TBComPort::DeliverRx80Full},
}};

}  // namespace nira::serial
