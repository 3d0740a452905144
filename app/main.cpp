#include "Main.h"
#include "MorvexApplication.h"

int main(int argc, char **argv)
{
    MorvexApplication::preferX11();
    MorvexApplication app(argc, argv);
    return Main(app);
}
