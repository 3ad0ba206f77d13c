#ifndef SRC_KESTU_VISION_H_
#define SRC_KESTU_VISION_H_

namespace vostek_kestu {

// The process entry: parses the flags, sets up logging, prints the banner,
// opens the streaming channel, registers the face, vehicle and crowd drivers
// on their ports, then serves driver information (normal mode) or runs one
// driver's stand-alone loop. Returns the exit status.
int KestuVisionMain(int argc, char** argv);

}  // namespace vostek_kestu

#endif  // SRC_KESTU_VISION_H_
