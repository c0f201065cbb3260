// Resource identifiers shared by the resource script and the code.
#pragma once

#define IDR_VELMORA_APP 101
#define IDR_VELMORA_CTL 102
