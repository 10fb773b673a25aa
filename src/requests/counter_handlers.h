// The VozozUdade counter requests (6631-6635): increment one document kind's
// counters, set one period's values, read every counter as the 140-byte
// block, initialise every environment's counters and reset the ad-hoc ones.
// Any logged-on user may send them; no rights check is made.
// Requests layer: calls the handler conventions, the counters (config) and the log.
#pragma once

// An absent or empty environment name is "Live" in every one of them. Each
// replies with the store's code unchanged; failed integer reads are logged
// and get no reply; failed string reads follow the echo rule (1 answered 1,
// 4 unanswered).

// 6631: docType, pageInc, docInc (wire integers), environment (wire string).
int IPIncrementGreenDataValues(int sock);

// 6632: timeGroup, docType, pageValue, docValue (wire integers), environment.
int IPSetGreenDataValues(int sock);

// 6633: environment, then version (wire integer, must be 1, else 3 alone).
// 0 is followed by the 140 bytes of the block with no size word before them.
int IPGetGreenDataValues(int sock);

// 6634: nothing to read; the code of initialising every environment.
int IPInitGreenData(int sock);

// 6635: environment.
int IPResetGreenAdHocCounts(int sock);
