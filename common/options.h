// SPDX-License-Identifier: ISC
// The command line of both programs, which start only when given none.
#pragma once

namespace tolpan {

// A program given an argument that it does not take ends with this status.
inline constexpr int kUsageStatus = 2;

// Answers a command line that holds arguments: --help (-h), with a usage
// that gives about, or --version (-V), alone, on standard output; refuses
// anything else with one line on standard error. Returns the exit status:
// 0 once answered, 1 if the answer could not be written, kUsageStatus.
int answer_options(int argc, char** argv, const char* program, const char* about);

}  // namespace tolpan
