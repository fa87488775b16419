// The library exists to carry the compiled-in images; Qt's resource objects attach to it.
namespace hearth_resources_anchor {
int anchor = 0;
}
