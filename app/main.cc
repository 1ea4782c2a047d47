#include "app/run_driver.h"

int main(int argc, char** argv) { return RunProcess(argc, argv); }
