#version 120

// The terrain's ten-float vertex (see Terrain.material for the full contract).
attribute vec4 vertex;   // x, height, z, normal x
attribute vec3 normal;   // normal y, normal z, morph-target normal x
attribute vec3 binormal; // morph-target normal y, z, morph-target height

uniform mat4 worldViewProj;
uniform mat4 world;
uniform vec4 morph; // x: the patch's morph factor m (clamped here to [0, 1])

// xyz: the world position; w: the large patches of the ground's colour (forest and meadow),
// noise a hundred units and more across, which varies little between vertices and so is found
// here rather than for every pixel.
varying vec4 worldPosition;
varying vec3 worldNormal;

#include "TerrainNoise.glsl"

invariant gl_Position;

void main()
{
    float m = clamp(morph.x, 0.0, 1.0);
    vec3 ownNormal = vec3(vertex.w, normal.x, normal.y);
    vec3 targetNormal = vec3(normal.z, binormal.x, binormal.y);
    // This form gives border vertices (target = own height) exactly the same height in
    // neighbouring patches, whatever their factors.
    float height = binormal.z + (vertex.y - binormal.z) * m;
    vec4 local = vec4(vertex.x, height, vertex.z, 1.0);

    gl_Position = worldViewProj * local;
    worldPosition.xyz = (world * local).xyz;
    worldPosition.w = noise(worldPosition.xz * 0.0025) * 0.65 + noise(worldPosition.xz * 0.011) * 0.35;
    worldNormal = mat3(world) * (targetNormal + (ownNormal - targetNormal) * m);
}
