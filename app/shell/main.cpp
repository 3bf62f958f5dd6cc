#include "shell/Application.h"

int main(int argc, char** argv) {
    return qarn::Application::main(argc, argv);
}
