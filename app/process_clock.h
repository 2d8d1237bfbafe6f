#pragma once
// How long this process has been running, from the kernel's record of its start (so the time
// spent loading libraries before main counts too).

// Seconds since the process started; negative when the record cannot be read.
double SecondsSinceProcessStart();
