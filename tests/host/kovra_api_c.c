/* The public header must compile in strict C99 as it stands; its layout checks then hold for C
 * hosts too. */
#include "kovra_api.h"
