#pragma once
// Answers which flavor's file the build linked in.
const char* FlavorName();
int FlavorShared();
