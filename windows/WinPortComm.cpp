/*
 * The WinPortComm native methods and the port state they share.
 */
#include "ZkPosDll.h"

int32_t m_iPortId = 0;
