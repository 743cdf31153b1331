#include "Commands.h"

QList<Command> commands()
{
    return {
        {"demo", "a short self-contained show of the mixer", &runDemo},
    };
}
