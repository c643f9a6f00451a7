#include "docs.h"

#include <algorithm>
#include <vector>

#include "tools/velkin/help_text.h"

namespace velkin::cli {
namespace {

// Text as man(7) source: backslashes and minus signs escaped, and no line that starts like a
// request.
std::string Roff(const std::string& text) {
  std::string out;
  bool line_start = true;
  for (const char c : text) {
    if (line_start && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
    line_start = c == '\n';
  }
  return out;
}

// `item` added to a list separated by `separator`.
void Join(std::string& list, const char* separator, const std::string& item) {
  if (!list.empty()) list += separator;
  list += item;
}

std::vector<const CLI::App*> Commands(const CLI::App& app) {
  return app.get_subcommands([](const CLI::App* sub) { return !sub->get_name().empty(); });
}

// The options a command shows in --help (not --help itself, not hidden ones).
std::vector<const CLI::Option*> Shown(const CLI::App& command, bool positional) {
  return command.get_options([&](const CLI::Option* o) {
    return !o->get_group().empty() && o->get_positional() == positional && o != command.get_help_ptr();
  });
}

std::string OptionNames(const CLI::Option& option) {
  std::string names;
  for (const auto& s : option.get_snames()) Join(names, ", ", "\\fB\\-" + Roff(s) + "\\fR");
  for (const auto& l : option.get_lnames()) Join(names, ", ", "\\fB\\-\\-" + Roff(l) + "\\fR");
  if (option.get_expected_max() > 0 && !option.get_type_name().empty()) {
    names += " \\fI" + Roff(option.get_type_name()) + "\\fR";
  }
  return names;
}

std::string Synopsis(const CLI::App& command) {
  std::string text = "\\fBvelkin " + Roff(command.get_name()) + "\\fR";
  for (const auto* option : Shown(command, false)) {
    if (option->get_group() != "Options") continue;
    text += " [" + OptionNames(*option) + "]";
  }
  for (const auto* option : Shown(command, true)) text += " \\fI" + Roff(option->get_name()) + "\\fR";
  return text;
}

void OptionList(std::string& out, const std::vector<const CLI::Option*>& options) {
  for (const auto* option : options) {
    out += ".TP\n" + (option->get_positional() ? "\\fI" + Roff(option->get_name()) + "\\fR" : OptionNames(*option)) +
           "\n" + Roff(option->get_description()) + "\n";
  }
}

// A footer's paragraphs, each its own .PP.
void Paragraphs(std::string& out, const std::string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find("\n\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string paragraph = text.substr(start, end - start);
    if (!paragraph.empty()) out += ".PP\n" + Roff(paragraph) + "\n";
    start = end + 2;
  }
}

}  // namespace

std::string ManPage(const CLI::App& app, const std::string& version) {
  std::string out;
  out += ".TH VELKIN 1 \"\" \"velkin " + Roff(version) + "\" \"User Commands\"\n";
  out += ".SH NAME\nvelkin \\- program, check and read Velkin playback units; encode and inspect their sound files\n";
  out += ".SH SYNOPSIS\n\\fBvelkin\\fR \\fICOMMAND\\fR [\\fIOPTIONS\\fR] [\\fIARGUMENTS\\fR]\n";
  out += ".SH DESCRIPTION\n" + Roff(kAbout) + "\n";
  out +=
      ".PP\nUnits are named by the names \\fBvelkin devices\\fR lists. Without \\fB\\-\\-json\\fR the results are "
      "text for people, and progress bars are drawn on standard error when it is a terminal.\n";
  out += ".SH COMMANDS\n";
  const CLI::App* any_command = nullptr;
  for (const auto* command : Commands(app)) {
    any_command = command;
    out += ".SS " + Roff(command->get_name()) + "\n" + Synopsis(*command) + "\n.PP\n" +
           Roff(command->get_description()) + "\n";
    OptionList(out, Shown(*command, true));
    std::vector<const CLI::Option*> own;
    for (const auto* option : Shown(*command, false)) {
      if (option->get_group() == "Options") own.push_back(option);
    }
    OptionList(out, own);
    Paragraphs(out, command->get_footer());
  }
  if (any_command != nullptr) {
    // Every command's shared options, each once: the file commands take fewer than the unit commands.
    out +=
        ".SH COMMON OPTIONS\nEvery command takes \\fB\\-\\-json\\fR, \\fB\\-h\\fR and \\fB\\-\\-help\\fR; "
        "the commands that work on units take the others too.\n";
    std::vector<const CLI::Option*> common;
    for (const auto* command : Commands(app)) {
      for (const auto* option : Shown(*command, false)) {
        if (option->get_group() == "Options") continue;
        const bool seen = std::any_of(common.begin(), common.end(),
                                      [&](const CLI::Option* o) { return o->get_name() == option->get_name(); });
        if (!seen) common.push_back(option);
      }
    }
    OptionList(out, common);
  }
  out += ".SH EXIT STATUS\n" + Roff(kExitStatusText) + "\n";
  out += ".SH ENVIRONMENT\n" + Roff(kEnvironmentText) + "\n";
  out += ".SH EXAMPLES\n.nf\n" +
         Roff(
             "velkin devices\n"
             "velkin program sounds.bin --all --serial 1000 --log station.log\n"
             "velkin verify sounds.bin --unit NAME --json\n"
             "velkin read --unit NAME -o flash.bin --length 65536\n"
             "velkin info prompt.wav prompt.vsk\n"
             "velkin encode --vossik prompt.wav --rate 16000\n"
             "velkin decode prompt.vsk --split\n") +
         ".fi\n";
  out += ".SH SEE ALSO\n\\fBvelkin\\-emu\\fR(1), \\fBvelkin\\-studio\\fR(1), \\fBVelkinUtils\\fR(1)\n";
  return out;
}

std::string BashCompletion(const CLI::App& app) {
  std::string commands;
  std::string cases;
  for (const auto* command : Commands(app)) {
    Join(commands, " ", command->get_name());
    std::string words = "--help";
    std::string files;   // options that take a file
    std::string units;   // options that take a unit's name
    std::string values;  // options that take anything else
    bool positional_file = false;
    for (const auto* option : command->get_options()) {
      if (option->get_group().empty()) continue;
      if (option->get_positional()) {
        positional_file = positional_file || option->get_type_name() == "FILE";
        continue;
      }
      std::vector<std::string> spellings;
      for (const auto& s : option->get_snames()) spellings.push_back("-" + s);
      for (const auto& l : option->get_lnames()) {
        spellings.push_back("--" + l);
        if (option != command->get_help_ptr()) words += " --" + l;
      }
      std::string names;
      for (const auto& spelling : spellings) Join(names, "|", spelling);
      if (option->get_expected_max() == 0) continue;
      std::string& kind = option->get_type_name() == "FILE"   ? files
                          : option->get_type_name() == "NAME" ? units
                                                              : values;
      Join(kind, "|", names);
    }
    cases += "    " + command->get_name() + ")\n      case \"$prev\" in\n";
    if (!files.empty()) cases += "        " + files + ") _velkin_files; return ;;\n";
    if (!units.empty()) cases += "        " + units + ") _velkin_units; return ;;\n";
    if (!values.empty()) cases += "        " + values + ") return ;;\n";
    cases += "      esac\n";
    cases += "      if [[ $cur == -* ]]; then\n        COMPREPLY=($(compgen -W \"" + words + "\" -- \"$cur\"))\n";
    if (positional_file) cases += "      else\n        _velkin_files\n";
    cases += "      fi\n      ;;\n";
  }
  return "# bash completion for velkin; made from its option definitions by velkin itself.\n"
         "_velkin_files() {\n"
         "  compopt -o filenames 2>/dev/null\n"
         "  COMPREPLY=($(compgen -f -- \"$cur\"))\n"
         "}\n"
         "# The names of the units plugged in now, as velkin devices lists them.\n"
         "_velkin_units() {\n"
         "  local names\n"
         "  names=$(\"${COMP_WORDS[0]}\" devices --json 2>/dev/null | sed -n 's/.*\"name\":\"\\([^\"]*\\)\".*/\\1/p')\n"
         "  COMPREPLY=($(compgen -W \"$names\" -- \"$cur\"))\n"
         "}\n"
         "_velkin() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} command= i\n"
         "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
         "    case ${COMP_WORDS[i]} in\n"
         "      " +
         [&] {
           std::string alternatives = commands;
           for (auto& c : alternatives) c = c == ' ' ? '|' : c;
           return alternatives;
         }() +
         ") command=${COMP_WORDS[i]}; break ;;\n"
         "    esac\n"
         "  done\n"
         "  COMPREPLY=()\n"
         "  case $command in\n"
         "    \"\")\n"
         "      COMPREPLY=($(compgen -W \"" +
         commands +
         " --help\" -- \"$cur\"))\n"
         "      ;;\n" +
         cases +
         "  esac\n"
         "}\n"
         "complete -F _velkin velkin\n";
}

}  // namespace velkin::cli
