#pragma once

#include "upnp/soap.h"

// X_MS_MediaReceiverRegistrar: Windows Media Player and Xbox ask it before browsing; every
// receiver is authorised, as the libraries are served to everyone on the network anyway.
SoapReply registrarControl(const SoapAction &action);
