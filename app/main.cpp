#include "app.h"

int main() { runOstrelle(); }
