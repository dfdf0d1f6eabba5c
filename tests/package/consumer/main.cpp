// An outside program using the installed engine libraries.
#include <iostream>

#include "velquor/esperlin/esperlin.h"

int main() {
  std::cout << velquor::esperlin::family_label("ci") << " / "
            << velquor::esperlin::metric_label("run_duration") << "\n";
}
