/*
 * Discovery and network setup: one datagram at a time on the discovery port.
 *
 * "CMD_SearchReader" with "Data" "TcpReader Request" is answered with the 18
 * bytes "TcpReader Response", broadcast to the port the search came from.
 * "CMD_SetNetConf" whose "OldIP" equals the board's current address rewrites
 * the settings file and reboots; it is never answered.
 */
#pragma once

void *thread_udpserver(void *arg);

namespace udpserver {

enum UdpRequestKind {
    UDP_NONE = 0,
    UDP_SET_NET_CONF = 16,
    UDP_SEARCH_READER = 32,
};

// Handles one datagram text; the status is left in `result` (0: answer the
// search, or reboot after the stored setup).
int parse_data(const char *text);
// Sends "TcpReader Response" to 255.255.255.255 at `port` (host order).
int sendBroadcase(int port);

} // namespace udpserver
