// The exported playback functions' own state: the start-signal events the library made
// for the host, and the sample arrays that the generation functions handed out (which
// ORVMemFree takes back).
//
// Owns: the two registries, each behind a mutex of its own (innermost; never held while
// another lock is taken).
#pragma once

// Frees an array that an ORVGen function returned and forgets it; nothing for any other
// pointer (null included). True when the array was one of them.
bool ReleaseGeneratedArray(void* memory);
