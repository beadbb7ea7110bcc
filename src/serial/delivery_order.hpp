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

namespace delivery_detail {
// Unqualified: on Windows the mask bits are the system header's macros.
using namespace nira::platform;

inline constexpr std::array<LineEventDelivery, 8> kDeliveryOrder = {{
    {leError, EV_ERR, &TBComPort::DeliverError},
    {leRxChar, EV_RXCHAR, &TBComPort::DeliverRxChar},
    {leTxEmpty, EV_TXEMPTY, &TBComPort::DeliverTxEmpty},
    {leRing, EV_RING, &TBComPort::DeliverRing},
    {leCTS, EV_CTS, &TBComPort::DeliverCTSChange},
    {leDSR, EV_DSR, &TBComPort::DeliverDSRChange},
    {leRLSD, EV_RLSD, &TBComPort::DeliverRLSDChange},
    {leRx80Full, EV_RX80FULL, &TBComPort::DeliverRx80Full},
}};
}  // namespace delivery_detail

using delivery_detail::kDeliveryOrder;

}  // namespace nira::serial
