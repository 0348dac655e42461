// The message table's texts of the telephony line device's call progress (TapiStatusMsg): call
// states from 13501 and line device states from 13533, each by the position of its bit; the reply,
// 13565; the library's own wait for a redial, 13600; the reasons of a disconnect from 13650, by the
// position of their bit (13650: none given). Then the texts the caller identification shows for a
// party that is not told.
#pragma once

#define SIO_TAPI_STATUS_TEXTS(X)                                                                             \
    X(13501, "Call idle")                                                                                    \
    X(13502, "Incoming call offered")                                                                        \
    X(13503, "Call accepted")                                                                                \
    X(13504, "Dial tone")                                                                                    \
    X(13505, "Dialing")                                                                                      \
    X(13506, "Ringing at the far end")                                                                       \
    X(13507, "Line busy")                                                                                    \
    X(13508, "Special information tone")                                                                     \
    X(13509, "Connected!")                                                                                   \
    X(13510, "Call proceeding")                                                                              \
    X(13511, "Call on hold")                                                                                 \
    X(13512, "Call in a conference")                                                                         \
    X(13513, "On hold, conference pending")                                                                  \
    X(13514, "On hold, transfer pending")                                                                    \
    X(13515, "Call disconnected (%s)")                                                                       \
    X(13516, "Call state unknown")                                                                           \
    X(13533, "Line state changed")                                                                           \
    X(13534, "Ringing")                                                                                      \
    X(13535, "Line connected")                                                                               \
    X(13536, "Line disconnected")                                                                            \
    X(13537, "Message waiting")                                                                              \
    X(13538, "No message waiting")                                                                           \
    X(13539, "Line in service")                                                                              \
    X(13540, "Line out of service")                                                                          \
    X(13541, "Line under maintenance")                                                                       \
    X(13542, "Line opened")                                                                                  \
    X(13543, "Line closed")                                                                                  \
    X(13544, "Number of calls changed")                                                                      \
    X(13545, "Number of call completions changed")                                                           \
    X(13546, "Terminals changed")                                                                            \
    X(13547, "Roaming changed")                                                                              \
    X(13548, "Battery level changed")                                                                        \
    X(13549, "Signal level changed")                                                                         \
    X(13550, "Device-specific state changed")                                                                \
    X(13551, "Telephony restarting")                                                                         \
    X(13552, "Line lock changed")                                                                            \
    X(13553, "Line capabilities changed")                                                                    \
    X(13554, "Line configuration changed")                                                                   \
    X(13555, "Dialing rules changed")                                                                        \
    X(13556, "Call completion cancelled")                                                                    \
    X(13557, "Line removed")                                                                                 \
    X(13565, "Request completed")                                                                            \
    X(13600, "Waiting for retry in %d seconds")                                                              \
    X(13650, "No reason given")                                                                              \
    X(13651, "Normal Hangup by Remote")                                                                      \
    X(13652, "Unknown reason")                                                                               \
    X(13653, "Call rejected")                                                                                \
    X(13654, "Call picked up elsewhere")                                                                     \
    X(13655, "Call forwarded")                                                                               \
    X(13656, "Called number busy")                                                                           \
    X(13657, "No answer")                                                                                    \
    X(13658, "Bad address")                                                                                  \
    X(13659, "Number unreachable")                                                                           \
    X(13660, "Network congested")                                                                            \
    X(13661, "Incompatible equipment")                                                                       \
    X(13662, "Called party unavailable")                                                                     \
    X(13663, "No dial tone")                                                                                 \
    X(13664, "Number changed")                                                                               \
    X(13665, "Number out of order")                                                                          \
    X(13666, "Temporary failure")                                                                            \
    X(13667, "Quality of service unavailable")                                                               \
    X(13668, "Call blocked")                                                                                 \
    X(13669, "Do not disturb")                                                                               \
    X(13670, "Call cancelled")                                                                               \
    X(-13937, "Caller ID Blocked")                                                                           \
    X(-13938, "Out of Area Call")
