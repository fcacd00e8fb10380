#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace orvanta::cli {

// Whether the stream is an interactive terminal.
bool isTerminal(std::FILE* stream);
// Width of the terminal on standard error, 80 when unknown.
int terminalWidth();

// A line from standard input without its line end; nothing at end of input.
std::optional<std::string> readLine();
// Asks for a secret on the controlling terminal with echo switched off. Nothing when there is no
// terminal or input ends.
std::optional<std::string> readSecret(const std::string& prompt);
// Asks a question on the controlling terminal and returns the answer line; nothing without one.
std::optional<std::string> ask(const std::string& prompt);

}  // namespace orvanta::cli
