#include "app/CommandLine.h"

#include "app/Options.h"

#ifndef ORDERDATES_VERSION
#error "ORDERDATES_VERSION must be defined by the build"
#endif

namespace od {

std::string HelpText(const TRunSettings& builtIn) {
  return "Usage: orderdates [OPTION]...\n"
         "Restores the send date of every goods line in the shop's database from the\n"
         "order service, one request per order, in one transaction.\n"
         "\n" +
         OptionsHelp(builtIn) +
         "\n"
         "Settings files: ~/.config/orderdates/orderdates.conf ($XDG_CONFIG_HOME/...),\n"
         "then /etc/orderdates.conf; --config FILE reads FILE instead. One setting a\n"
         "line, named as the long options, a switch set to yes or no, # for comments:\n"
         "  database = dbhost:/srv/shop/SHOP.FDB\n"
         "  service = orders.shop.lan:8088\n"
         "  timeout = 30\n"
         "The command line wins over the environment, the environment over the user's\n"
         "file, the user's file over the system's. A password line is taken only from\n"
         "a file of your own that others cannot read.\n"
         "\n"
         "Environment:\n"
         "  ISC_USER       the database user, when --user is not given\n"
         "  ISC_PASSWORD   the database password (never on the command line)\n"
         "  https_proxy, http_proxy, all_proxy, no_proxy\n"
         "                 the proxies, as curl reads them (HTTP_PROXY is never read)\n"
         "\n"
         "A shop on the internet: --service https://shop.example/PREFIX; its certificate\n"
         "is always checked (the system's trust store, or --ca-file for the shop's own\n"
         "CA). A refused certificate is one report line with the number of orders.\n"
         "\n"
         "A report goes to standard error: one line per order whose goods lines kept\n"
         "their value, with the reason, then 'orderdates: updated N of M goods lines'.\n"
         "When standard error is not a terminal and --report is not given, the report\n"
         "goes to a new file too, named after the run's date and time, in\n"
         "$XDG_STATE_HOME/orderdates/ (by default ~/.local/state/orderdates/).\n"
         "\n"
         "The service's dates are read in the form of the regional settings (LC_TIME);\n"
         "the shop's service writes them the Russian way:\n"
         "  LC_ALL=ru_RU.UTF-8 orderdates --database /srv/shop/SHOP.FDB\n"
         "\n"
         "Exit status:\n"
         "  0  the run committed (with --dry-run: the run completed), every goods line\n"
         "     got its date\n"
         "  1  start-up failed\n"
         "  2  bad option or value\n"
         "  3  the run stopped before its commit; nothing was saved\n"
         "  4  the run committed (with --dry-run: completed), but goods lines kept\n"
         "     their value (see the report; --only-missing asks only for those)\n"
         "  5  the run committed, but not one goods line got its date: nothing was\n"
         "     restored (the service down or at another address, say)\n"
         "  128+N  ended by signal N (SIGTERM, SIGINT, SIGHUP) before the commit;\n"
         "     nothing was saved (after the commit: 0, 4 or 5)\n";
}

std::string VersionText() { return std::string("orderdates ") + ORDERDATES_VERSION + "\n"; }

} // namespace od
