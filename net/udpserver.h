/*
 * Discovery and network setup: one datagram at a time on the discovery port.
 */
#pragma once

void *thread_udpserver(void *arg);

namespace udpserver {

enum UdpRequestKind {
    UDP_NONE = 0,
    UDP_SET_NET_CONF = 16,
    UDP_SEARCH_READER = 32,
};

// Handles one datagram text; the status is left in `result`.
int parse_data(const char *text);
// Sends "TcpReader Response" to 255.255.255.255 at `port` (host order).
int sendBroadcase(int port);

} // namespace udpserver
