// The demo's session through the J2534 04.04 library (pt_demo --0404).
#ifndef PT_TOOLS_PT_DEMO0404_H
#define PT_TOOLS_PT_DEMO0404_H

#include <string>

// Loads pt_vector0404 from bin with its settings in work/pt_vector0404.ini
// (TRACE=trace) and runs the session on the vehicle already configured; true
// when every step got the answer it expects. With fd the session runs on
// ISO 15765 over CAN FD (FD_ISO15765_PS, 2 Mbit/s data phase, TX_DL 64) with
// the vehicle's ECUs answering in FD frames.
bool RunSession0404(const std::string &bin, const std::string &work, int trace, bool noFlowControl, bool fd = false);

#endif
