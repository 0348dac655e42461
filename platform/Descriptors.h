// The process's limit of open files (descriptors) and how much of it is in use.
#pragma once

// Raises the soft limit of open files to the hard one; the program does this at start-up, so that a
// fleet larger than the usual soft limit of 1024 can connect.
void RaiseDescriptorLimit();
// The soft limit of open files.
int DescriptorLimit();
// How many descriptors the process holds now; -1 when that cannot be told.
int OpenDescriptors();
