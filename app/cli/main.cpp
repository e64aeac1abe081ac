#include "app/cli/cli_front_end.h"

int main(int argc, char** argv) {
  return quorvel::cli::cliMain(argc, argv);
}
