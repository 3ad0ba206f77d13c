#include "src/kestu_vision.h"

int main(int argc, char** argv) {
  return vostek_kestu::KestuVisionMain(argc, argv);
}
