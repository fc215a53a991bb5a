#include <fstream>
#include <iostream>

#include "host/Commands.h"
#include "host/Reasons.h"

namespace host {

namespace {

// Words of a script line: blanks separate them, double quotes keep blanks
// inside one word; a backslash stays as it is, being the phone's separator.
std::vector<std::string> ScriptWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, inWord = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

}  // namespace

// Stops at the first command that fails and returns its exit code.
int ScriptCommand(const std::string& file, const CommandLineRunner& runLine) {
  std::ifstream input(file);
  if (!input) {
    Complain("cannot read " + file);
    return kExitUsage;
  }
  std::string line;
  for (int number = 1; std::getline(input, line); ++number) {
    std::vector<std::string> words = ScriptWords(line);
    if (words.empty() || words[0].rfind('#', 0) == 0) continue;
    if (words[0] == "script") {
      Complain(file + ":" + std::to_string(number) + ": a script does not run scripts");
      return kExitUsage;
    }
    std::cout << "> " << line << std::endl;
    const int code = runLine(words);
    if (code != 0) {
      Complain(file + ":" + std::to_string(number) + ": exit code " + std::to_string(code));
      return code;
    }
  }
  return 0;
}

}  // namespace host
