#include "platform/basalt/uuid.h"

#include <uuid/uuid.h>

bool UUID_CreateRandom(unsigned char (&out)[16]) {
  uuid_generate_random(out);
  // libuuid reports no errors here; confirm that what came out is a random UUID.
  return uuid_type(out) == UUID_TYPE_DCE_RANDOM && uuid_variant(out) == UUID_VARIANT_DCE;
}

std::string UUID_PackText(const unsigned char (&uuid)[16]) {
  char text[37];
  uuid_unparse_lower(uuid, text);
  return text;
}
