// The exit statuses every subcommand of zantrox-cli shares.
#pragma once

enum CliExit {
    EXIT_ALL_OK = 0,   // every transaction got its ACK and, where expected, a good reply
    EXIT_FAILED = 1,   // some transaction failed
    EXIT_USAGE = 2,    // bad command line; nothing was sent
    EXIT_NO_PORT = 3,  // the port could not be opened
};
