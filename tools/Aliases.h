#pragma once
#include <map>
#include <string>
#include <vector>

namespace ostmail {
namespace cli {

// Local names from a file in the /etc/aliases format: "name: target, ..."
// lines, continued on lines that begin with white space, '#' comments.
// Names match ignoring letter case.
class Aliases {
public:
    // False with a one-line reason when the file cannot be read or a line
    // has no ':'.
    bool load(const std::string& path, std::string& error);

    // Replaces each local name (no '@') that has an alias by its targets,
    // and theirs in turn; a name that lists itself stays as it is. Programs,
    // files and :include: lists cannot be sent to: they are skipped, each
    // with a line in warnings. False when names lead round to one another,
    // the loop spelt out in error.
    bool expand(const std::vector<std::string>& in, std::vector<std::string>& out, std::vector<std::string>& warnings,
                std::string& error) const;

private:
    bool expandOne(const std::string& name, std::vector<std::string>& path, std::vector<std::string>& out,
                   std::vector<std::string>& warnings, std::string& error) const;
    std::map<std::string, std::vector<std::string>> m_targets;  // by lower-case name
    std::string m_path;
};

}  // namespace cli
}  // namespace ostmail
