#include "sanstat/subcommand.h"

#include <iostream>
#include <memory>

#include "cli/help_format.h"

namespace sanstat {

int subcommand_line::refuse(const std::string& why) const {
    std::cerr << "sanstat " << name_ << ": " << why << "\n" << usage_;
    return 2;
}

int subcommand_line::parse(CLI::App& app, int argc, char** argv) const {
    app.formatter(std::make_shared<sanperf_cli::help_formatter>(" "));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        return refuse(e.what());
    }
    return -1;
}

}  // namespace sanstat
