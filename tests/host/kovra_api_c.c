/* The public header must compile in strict C99 as it stands; its layout checks then hold for C
 * hosts too. */
#include "kovra_api.h"

void KOVRA_CALL KovraHostC99_Delegate(int32_t event, void* data);
void KOVRA_CALL KovraHostC99_Delegate(int32_t event, void* data) {
  static const KovraDelegate kSelf = KovraHostC99_Delegate;
  (void)event;
  (void)data;
  (void)kSelf;
}
