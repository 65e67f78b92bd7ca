#include "net/searchclient.h"
