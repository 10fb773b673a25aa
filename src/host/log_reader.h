// The -log command: prints the newest records of a ring log file as text
// lines, oldest of them first, each with its time in local time.
// Host layer: calls the ring log's own newest-records reader.
#pragma once

// The command's word, matched in any case with '-' or '/' before it.
constexpr char kLogCommandWord[] = "log";

// `args` are the words after "-log": the ring log file, then optionally how
// many of its newest records to print (all when missing). Each record is one
// line on standard output: its time in ctime form (local time: TZ), three
// spaces and the message, the oldest of those printed first. Writes nothing
// to the file and logs nothing. 0; 1 with a line on standard error when the
// words are wrong or the file cannot be read as a ring log file.
int PrintRingLog(int argc, const char* const* args);
