#include "net/uploadresponder.h"
