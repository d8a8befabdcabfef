// Host UUID functions: random (version 4) UUIDs from the kernel's generator, text by libuuid.
#pragma once

#include <string>

// Fills `out` with a random (version 4) UUID; false when no random UUID could be made.
bool UUID_CreateRandom(unsigned char (&out)[16]);

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in lower case.
std::string UUID_PackText(const unsigned char (&uuid)[16]);
// The same text, appended to `out`.
void UUID_AppendText(const unsigned char (&uuid)[16], std::string& out);
