#include "app.h"

#include <cstdio>
#include <exception>
#include <string>

#include "tools/velkin/command_table.h"
#include "tools/velkin/docs.h"
#include "tools/velkin/help_text.h"
#include "tools/velkin/session.h"

namespace velkin::cli {

int Main(int argc, char** argv) {
  Session session;
  CLI::App app{kAbout, "velkin"};
  app.require_subcommand(0, 1);
  app.set_version_flag("--version", VELKIN_VERSION);
  // For the build: the man page and the bash completion from these very definitions.
  bool man = false;
  bool completion = false;
  app.add_flag("--generate-man", man, std::string("Write the man page"))->group("");
  app.add_flag("--generate-bash-completion", completion, std::string("Write the bash completion"))->group("");
  for (const CommandGroup& group : CommandGroups()) group.add(app, session);
  // After the commands, which would otherwise each take it over.
  app.footer(std::string("Exit status: ") + kExitStatusText + "\n\nEnvironment: " + kEnvironmentText +
             "\n\nEvery command has --help.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and version print and end well; anything else is a usage error.
    return app.exit(e) == 0 ? kExitDone : kExitUsage;
  }
  if (man || completion) {
    const std::string text = man ? ManPage(app, VELKIN_VERSION) : BashCompletion(app);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? kExitDone : kExitFailed;
  }
  if (!session.run) {
    std::fputs(app.help().c_str(), stderr);
    session.Error("a command is required");
    return kExitUsage;
  }
  try {
    return session.run();
  } catch (const std::exception& e) {
    session.Error(std::string("stopped: ") + e.what());
    return kExitFailed;
  }
}

}  // namespace velkin::cli
