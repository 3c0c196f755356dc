#include "cli/help_format.h"

#include <sstream>

namespace sanperf_cli {

std::string wrap(const std::string& text, std::size_t width, std::size_t indent) {
    std::string out;
    std::istringstream paragraphs(text);
    bool first_line = true;
    for (std::string paragraph; std::getline(paragraphs, paragraph);) {
        std::istringstream words(paragraph);
        std::string line;
        auto end_line = [&] {
            if (!first_line) out += '\n' + std::string(indent, ' ');
            out += line;
            first_line = false;
            line.clear();
        };
        for (std::string word; words >> word;) {
            std::size_t room = width - (first_line ? 0 : indent);
            if (!line.empty() && line.size() + 1 + word.size() > room) end_line();
            line += (line.empty() ? "" : " ") + word;
        }
        end_line();
    }
    return out;
}

help_formatter::help_formatter(std::string value_separator)
    : separator_(std::move(value_separator)) {}

std::string help_formatter::make_description(const CLI::App* app) const {
    const std::string desc = app->get_description();
    return desc.empty() ? desc : wrap(desc, help_width) + "\n";
}

std::string help_formatter::make_footer(const CLI::App* app) const {
    const std::string footer = app->get_footer();
    return footer.empty() ? footer : wrap(footer, help_width) + "\n";
}

std::string help_formatter::make_option_name(const CLI::Option* opt, bool positional) const {
    if (positional) return opt->get_name();
    std::string names;
    for (const std::string& s : opt->get_snames()) names += (names.empty() ? "-" : ",-") + s;
    for (const std::string& l : opt->get_lnames()) names += (names.empty() ? "--" : ",--") + l;
    return names;
}

std::string help_formatter::make_option_opts(const CLI::Option* opt) const {
    if (opt->get_positional()) return "";
    const std::string type = opt->get_type_name();
    return opt->get_type_size() == 0 || type.empty() ? std::string() : separator_ + type;
}

std::string help_formatter::make_option_desc(const CLI::Option* opt) const {
    std::string desc = opt->get_description();
    if (!opt->get_default_str().empty()) desc += " (default " + opt->get_default_str() + ")";
    // The description starts in the column after the names.
    return wrap(desc, help_width - get_column_width());
}

}  // namespace sanperf_cli
