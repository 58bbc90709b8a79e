#include "app.h"

int main() {
    App::main();
    return 0;
}
