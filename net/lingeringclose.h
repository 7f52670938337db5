// SPDX-License-Identifier: MIT
// The lingering set: descriptors of connections that our side closed while bytes were still on
// their way out. Each one gets its unsent bytes written, its sending side shut down and its
// input discarded until the peer closes, so the peer sees every byte and then an orderly close.
#pragma once

#include "socketlayer.h"

#include <string>

// Takes ownership of Handle (non-blocking, connected) and of the bytes not yet sent on it. The
// descriptor is closed when the peer has closed after the last byte, on any error, after
// TimeoutMs, or when the application object goes away. Without an application object the
// descriptor is closed at once. When the time runs out the close is a reset, which frees what the
// kernel still holds for the peer at once.
void StartLingeringClose(int Handle, std::string Unsent, int TimeoutMs = kLingerTimeoutMs);

// Descriptors currently lingering.
int LingeringCloseCount();
