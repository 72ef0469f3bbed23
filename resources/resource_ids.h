// Resource numbers shared by the resource script and the code.
#pragma once

#define TESMORA_RESOURCE_ICON 1
#define TESMORA_RESOURCE_REMOTE_SCRIPT 101
#define TESMORA_RESOURCE_MANUAL 102
#define TESMORA_RESOURCE_RESTORE_SCRIPT 103
// The site configuration readers, joined before the backup program.
#define TESMORA_RESOURCE_SITE_CONFIGS 104
