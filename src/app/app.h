// Process entry: the command words, the port rule, the instance name and the run modes.
#pragma once

// Runs the program for an argument vector; returns the exit status (1 after the usage, else 0).
int FerrolinkMain(int argumentCount, char **arguments);
