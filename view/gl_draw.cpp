#include "view/gl_draw.h"

#include <GL/gl.h>

#include "view/sphere_mesh.h"

namespace kavrin::gl {

void line(const vec3& a, const vec3& b, const vec3& c, bool fade, float width) {
    glLineWidth(width);
    glBegin(GL_LINES);
    glColor4f(c[0], c[1], c[2], 1.0f);
    glVertex3f(a[0], a[1], a[2]);
    glColor4f(c[0], c[1], c[2], fade ? 0.0f : 1.0f);
    glVertex3f(b[0], b[1], b[2]);
    glEnd();
}

void sphere(const vec3& centre, float radius, const vec3& c, float alpha, unsigned list) {
    glColor4f(c[0], c[1], c[2], alpha);
    glPushMatrix();
    glTranslatef(centre[0], centre[1], centre[2]);
    glPushMatrix();
    glScalef(radius, radius, radius);
    glCallList(list);
    glPopMatrix();
    glPopMatrix();
}

void mesh(int count, const float* vertices, const float* normals) {
    glEnableClientState(GL_VERTEX_ARRAY);
    if (normals) glEnableClientState(GL_NORMAL_ARRAY);
    glVertexPointer(3, GL_FLOAT, 0, vertices);
    if (normals) glNormalPointer(GL_FLOAT, 0, normals);
    glDrawArrays(GL_TRIANGLES, 0, count);
    if (normals) glDisableClientState(GL_NORMAL_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
}

void lit_mesh(float alpha, int count, const float* vertices, const float* normals) {
    const GLfloat ambient[] = {0.01f, 0.01f, 0.01f, alpha};
    const GLfloat diffuse[] = {1.0f, 1.0f, 1.0f, alpha};
    const GLfloat specular[] = {0.0f, 0.0f, 0.0f, 0.0f};
    glMaterialfv(GL_FRONT, GL_AMBIENT, ambient);
    glMaterialfv(GL_FRONT, GL_DIFFUSE, diffuse);
    glMaterialfv(GL_FRONT, GL_SPECULAR, specular);

    const GLfloat light_ambient[] = {0.8f, 0.8f, 0.8f, 1.0f};
    const GLfloat light_diffuse[] = {0.4f, 0.4f, 0.4f, 1.0f};
    const GLfloat light_specular[] = {0.2f, 0.2f, 0.2f, 1.0f};
    const GLfloat positions[3][4] = {{5, 10, 5, 0}, {-10, 10, 0, 0}, {0, 10, -10, 0}};
    const GLenum lights[3] = {GL_LIGHT0, GL_LIGHT1, GL_LIGHT2};
    for (int i = 0; i < 3; ++i) {
        glLightfv(lights[i], GL_AMBIENT, light_ambient);
        glLightfv(lights[i], GL_DIFFUSE, light_diffuse);
        glLightfv(lights[i], GL_SPECULAR, light_specular);
        // The model-view matrix is identity (the camera sits in the projection), so the
        // directions stay fixed in world space.
        glLightfv(lights[i], GL_POSITION, positions[i]);
        glEnable(lights[i]);
    }
    glEnable(GL_LIGHTING);
    glEnable(GL_DEPTH_TEST);
    mesh(count, vertices, normals);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_LIGHTING);
    for (GLenum l : lights)
        glDisable(l);
}

void wire_cube(const vec3& centre, float size, const vec3& c, float alpha) {
    // Corner k of the unit cube around the origin: x from bit 0, y from bit 1, z from bit 2.
    static const int faces[6][4] = {{0, 1, 3, 2}, {4, 5, 7, 6}, {0, 1, 5, 4},
                                    {2, 3, 7, 6}, {0, 2, 6, 4}, {1, 3, 7, 5}};
    const float h = size * 0.5f;
    glLineWidth(1.0f);
    glColor4f(c[0], c[1], c[2], alpha);
    for (const auto& face : faces) {
        glBegin(GL_LINE_LOOP);
        for (int k : face)
            glVertex3f(centre[0] + (k & 1 ? h : -h), centre[1] + (k & 2 ? h : -h),
                       centre[2] + (k & 4 ? h : -h));
        glEnd();
    }
}

unsigned sphere_list(int rows, int columns) {
    const std::vector<float> quads = sphere_quads(rows, columns);
    const GLuint id = glGenLists(1);
    glNewList(id, GL_COMPILE);
    glBegin(GL_QUADS);
    for (size_t i = 0; i + 2 < quads.size(); i += 3)
        glVertex3f(quads[i], quads[i + 1], quads[i + 2]);
    glEnd();
    glEndList();
    return id;
}

}  // namespace kavrin::gl
