// The command lines of the site's systemd units (deploy/systemd), as
// systemd would run them, for tests that run a site as shipped: the unit's
// EnvironmentFile= read, the flags of ExecStart= expanded ($VAR, ${VAR},
// %i), the paths moved into the test's own folders and the ports replaced
// by the test's.
#ifndef TESTS_TESTING_SITE_UNITS_H_
#define TESTS_TESTING_SITE_UNITS_H_

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kestu_testing {

struct SiteUnitOptions {
  // The instance of a template unit (kestu-vision@.service): %i.
  std::string instance;
  // Path prefixes and their replacements, applied to the program, the
  // environment files, WorkingDirectory, StateDirectory and every argument
  // (or --flag=value value) that begins with "/". The longest matching
  // prefix wins; a prefix matches a whole path or up to a "/", so that
  // {"/usr/local/bin/kestu-web", build + "/tools/kestu-web"} maps one file
  // and {"/var/lib/kestu", temp} a tree.
  std::vector<std::pair<std::string, std::string>> paths;
  // Flags whose values the test sets (named with their dashes,
  // "--bind_port"): every occurrence in the command line, as --flag=value
  // or --flag value, is removed, and one --flag=value per given value is
  // appended (none: the flag is left out). A flag the unit does not give is
  // added.
  std::map<std::string, std::vector<std::string>> flags;
};

struct SiteUnit {
  std::vector<std::string> argv;  // argv[0] is the program
  std::string user;               // User= (not switched to)
  std::string group;              // Group=
  std::string working_directory;  // WorkingDirectory=, mapped
  // StateDirectory= entries as folders under /var/lib, mapped.
  std::vector<std::string> state_directories;
  std::vector<std::string> environment_files;  // EnvironmentFile=, mapped
  std::map<std::string, std::string> environment;
};

// Reads the unit file `unit_path` and its environment files. On failure
// (a file that cannot be read, no ExecStart, a variable no file sets, a
// specifier other than %i %I %n %%) returns false with the reason.
bool ReadSiteUnit(const std::string& unit_path, const SiteUnitOptions& options,
                  SiteUnit* unit, std::string* error);

// The options of a site as shipped, run from the build: the programs of
// the build for /usr/local/bin, `state_root` for /var/lib/kestu and the
// flag files of deploy/etc/kestu for /etc/kestu.
SiteUnitOptions ShippedSiteOptions(const std::string& state_root,
                                   const std::string& instance = "");

// The unit file of deploy/systemd in the source tree.
std::string SiteUnitPath(const std::string& file_name);

// Creates the working and state directories, as systemd does before it
// starts the program; false when one cannot be made.
bool MakeSiteUnitDirectories(const SiteUnit& unit);

// The value of --flag in argv (--flag=value or --flag value), or empty.
std::string SiteFlag(const std::vector<std::string>& argv,
                     const std::string& flag);

}  // namespace kestu_testing

#endif  // TESTS_TESTING_SITE_UNITS_H_
